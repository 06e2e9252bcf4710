// USB device configuration at start and the pipe reset of the stop sequence.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

constexpr ULONG kBulkTransferSize = 1536;

ULONG ConfigureUsbDevice(Adapter* adapter);
ULONG AbortAndResetPipes(Adapter* adapter);

}  // namespace usbeth
