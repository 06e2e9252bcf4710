// USB device configuration at start and the pipe reset of the stop sequence.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

constexpr ULONG kBulkTransferSize = 1536;

// The configuration descriptor is read into a buffer of this size first. One
// that is longer (class or vendor descriptors ahead of the endpoints) is read
// again whole into a buffer of its own length, up to the second bound; what
// lies beyond that is not read.
constexpr ULONG kConfigurationBufferSize = 255;
constexpr ULONG kConfigurationMaxSize = 4096;
constexpr ULONG kDeviceDescriptorSize = 18;

// The adapter's one interface: bulk in, bulk out, interrupt, by position.
constexpr ULONG kPipeCount = 3;
constexpr ULONG kPipeIndexBulkIn = 0;
constexpr ULONG kPipeIndexBulkOut = 1;
constexpr ULONG kPipeIndexInterrupt = 2;

// Hdr.Length of the select-configuration request as the bus sees it (32-bit
// x86 layout): 40 bytes plus 20 per pipe.
constexpr USHORT kSelectConfigurationBaseLength = 40;
constexpr USHORT kSelectConfigurationPipeLength = 20;

// Bytes of interface information for a number of pipes in this build's
// layout (76 for three pipes on 32-bit x86).
constexpr ULONG InterfaceInformationLength(ULONG pipes) {
  return static_cast<ULONG>(offsetof(USBD_INTERFACE_INFORMATION, Pipes)) +
         pipes * static_cast<ULONG>(sizeof(USBD_PIPE_INFORMATION));
}
#if !defined(USBETH_HOST_KERNEL)
static_assert(InterfaceInformationLength(kPipeCount) == 76, "interface information of 3 pipes");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION) ==
                  kSelectConfigurationBaseLength,
              "select-configuration request without pipes");
static_assert(sizeof(USBD_PIPE_INFORMATION) == kSelectConfigurationPipeLength, "pipe information");
#endif

ULONG ConfigureUsbDevice(Adapter* adapter);
ULONG AbortAndResetPipes(Adapter* adapter);

// Checks a configuration descriptor of `available` bytes as a device may
// send it: clamps its wTotalLength to the bytes at hand and walks every
// descriptor. Returns the first interface descriptor when the chain is sound
// and that interface is followed by all the endpoint descriptors it
// announces; null for a descriptor set that must be refused.
PUSB_INTERFACE_DESCRIPTOR ValidateConfigurationDescriptor(PUCHAR buffer, ULONG available);

}  // namespace usbeth
