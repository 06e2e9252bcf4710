// Bounded parsing of configuration descriptors, shared by the USBD routines
// and the bus driver's select-configuration checks.
#pragma once

#include <cstddef>

#include "wdk_nt.h"
#include "wdk_usb.h"

namespace host::usb {

struct ParsedInterface {
  const USB_INTERFACE_DESCRIPTOR* descriptor = nullptr;
  const USB_ENDPOINT_DESCRIPTOR* endpoints[32] = {};
  unsigned endpoint_count = 0;
};

// Bytes of the configuration descriptor that may be read: wTotalLength clamped
// to the bytes known to hold descriptor data; 0 when the header is invalid.
size_t usable_configuration_length(const USB_CONFIGURATION_DESCRIPTOR* cd);

// Collects the interface descriptor at `interface_descriptor` (which must lie on
// a descriptor boundary of the chain) and its endpoints. False when the chain
// is malformed before the interface ends or the endpoints present differ in
// number from bNumEndpoints.
bool parse_interface(const USB_CONFIGURATION_DESCRIPTOR* cd, const void* interface_descriptor,
                     ParsedInterface* out);

// The interface descriptor with this number and alternate setting, or null.
const USB_INTERFACE_DESCRIPTOR* find_interface(const USB_CONFIGURATION_DESCRIPTOR* cd, LONG number,
                                               LONG alternate);

}  // namespace host::usb
