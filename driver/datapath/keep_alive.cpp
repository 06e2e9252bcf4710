// Keep-alive frames for the home-network PHY that needs them: while the
// adapter runs, every fourth expiry of the one-second KeepAliveTimer sends a
// fixed 32-byte bulk-out transfer from an ordinary transmit descriptor.
//
// The transfer joins the data frames' bulk-out queue: a keep-alive passed
// down beside it could land between a frame and its zero-length transfer and
// be merged into that frame by the device.
#include "datapath/datapath.h"
#include "miniport/miniport.h"

namespace usbeth {

void NTAPI KeepAliveTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3) {
  Adapter* adapter = static_cast<Adapter*>(FunctionContext);
  EnterTimerRoutine(adapter);
  if (LoadShared(adapter->AdapterState) == kStateRunning) {
    if (adapter->KeepAliveTicks <= 2) {
      adapter->KeepAliveTicks++;
    } else {
      adapter->KeepAliveTicks = 0;
      TransferDescriptor* descriptor = TakeTxDescriptor(adapter);
      if (descriptor == nullptr) {
        StoreShared(adapter->TxStarved, 1);
      } else if (SendKeepAlive(adapter, descriptor) == kFailed) {
        PutBackTxDescriptor(adapter, descriptor);
      }
    }
  }
  // Re-armed on every path, failures included, so that one missed frame does
  // not end keep-alives for the life of the adapter; never once it stopped.
  ArmAdapterTimer(adapter, &adapter->KeepAliveTimer, kKeepAliveIntervalMs);
  LeaveTimerRoutine(adapter);
}

ULONG SendKeepAlive(Adapter* adapter, TransferDescriptor* descriptor) {
  if (LoadShared(adapter->AdapterState) != kStateRunning) return kFailed;
  // The whole transfer is written, so no byte of an earlier frame in this
  // buffer goes out again.
  PUCHAR buffer = descriptor->Buffer;
  RtlZeroMemory(buffer, kKeepAliveLength);
  buffer[13] = 0x01;
  buffer[0] = static_cast<UCHAR>(kKeepAliveLength & 0xFF);
  buffer[1] = static_cast<UCHAR>(kKeepAliveLength >> 8);
  descriptor->Length = kKeepAliveLength;

  PIRP irp = BuildBulkTransfer(adapter, descriptor, kBulkOutPipe, USBD_TRANSFER_DIRECTION_OUT,
                               kKeepAliveLength, KeepAliveComplete);
  if (irp == nullptr) return kFailed;
  return SubmitBulkOutIrps(adapter, irp, nullptr);
}

NTSTATUS NTAPI KeepAliveComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  // The outcome is not examined: a lost keep-alive changes no state and no
  // statistic. The end of the IRP returns the descriptor exactly once.
  TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(context);
  ReleaseBulkOutIrp(descriptor->Owner, descriptor);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbeth
