// URB and interface-information sizes: the 32-bit x86 sizes that drivers write
// into Hdr.Length, and this host's own sizes, which USBD writes into
// USBD_INTERFACE_INFORMATION.Length because that is how far the structure
// really extends in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wdk_nt.h"
#include "wdk_usb.h"

namespace host::usb {

// x86 sizes of the URBs by function.
constexpr uint16_t kX86ControlUrbLength = 80;  // descriptor, status, feature, vendor/class
constexpr uint16_t kX86BulkUrbLength = 72;
constexpr uint16_t kX86PipeUrbLength = 24;
constexpr uint16_t kX86FrameNumberUrbLength = 20;
constexpr uint16_t kX86UrbHeaderLength = 16;
constexpr uint32_t kX86SelectConfigurationFixed = 24;  // header, descriptor, handle
constexpr uint32_t kX86InterfaceFixed = 16;            // USBD_INTERFACE_INFORMATION without pipes
constexpr uint32_t kX86PipeInformation = 20;

constexpr uint32_t x86_interface_length(uint32_t pipes) {
  return kX86InterfaceFixed + kX86PipeInformation * pipes;
}

// This host's sizes.
constexpr size_t kHostInterfaceFixed = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr size_t kHostSelectConfigurationFixed =
    offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

constexpr size_t host_interface_length(uint32_t pipes) {
  return kHostInterfaceFixed + sizeof(USBD_PIPE_INFORMATION) * pipes;
}

static_assert(host_interface_length(1) == sizeof(USBD_INTERFACE_INFORMATION),
              "one-pipe interface information is the declared structure");
static_assert(x86_interface_length(3) == 76, "three-pipe interface information on x86");
static_assert(kX86SelectConfigurationFixed + x86_interface_length(3) == 100,
              "select configuration with three pipes on x86");

// The Hdr.Length the bus requires for a function, or 0 when it depends on the
// request's contents (select configuration) or the function is unknown.
uint16_t x86_urb_length(uint16_t function);

}  // namespace host::usb
