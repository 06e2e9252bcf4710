// Receive path: one bulk-in read outstanding at a time, each into the buffer
// of a free receive descriptor. A completion checks the status trailer,
// queues a good frame on RxReadyQueue, starts the next read and arms
// RxIndicateTimer; the timer routine indicates every waiting frame with
// NDIS_STATUS_RESOURCES, so that NDIS copies it during the call.
//
// A receive descriptor is on RxFreeQueue, on RxReadyQueue, at the bus driver
// as the outstanding read, or being indicated; it returns to RxFreeQueue only
// after its indication, so a new read can never overwrite a frame that NDIS
// is still copying.
#include "datapath/datapath.h"
#include "miniport/miniport.h"

namespace usbeth {

static void ReturnRxDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
  NdisAcquireSpinLock(&adapter->RxLock);
  QueuePushBack(&adapter->RxFreeQueue, descriptor);
  NdisReleaseSpinLock(&adapter->RxLock);
}

ULONG SubmitBulkIn(Adapter* adapter, TransferDescriptor* descriptor) {
  PIRP irp = BuildBulkTransfer(adapter, descriptor, kBulkInPipe,
                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                               kTransferBufferSize, BulkInComplete);
  if (irp == nullptr) {
    // Without this the descriptor would be on no queue, and since reading
    // restarts only when every descriptor is free, reception would never
    // resume. Give it back and let the indication routine try again shortly.
    ReturnRxDescriptor(adapter, descriptor);
    ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, kReceiveRetryDelayMs);
    return kFailed;
  }
  InterlockedIncrement(&adapter->RxIrpsOutstanding);
  NTSTATUS status = IofCallDriver(adapter->LowerDevice, irp);
  return status == STATUS_PENDING ? kOk : kFailed;
}

// The trailer's length field: bytes n-4 (low) and n-3 (high), low 12 bits,
// the frame and its 4 CRC bytes. The device writes it for the one frame it
// put in the transfer.
static ULONG TrailerLength(const UCHAR* buffer, ULONG received) {
  return (buffer[received - kRxTrailerLengthOffset] |
          (static_cast<ULONG>(buffer[received - kRxTrailerLengthOffset + 1]) << 8)) &
         kRxTrailerLengthMask;
}

// Length of the frame a completed read holds, or 0 when there is nothing to
// indicate. `received` is what the bus driver reports. A transfer of two bytes
// or more that the status byte does not drop, but whose bytes are not one
// whole frame, is a receive error: shorter than an Ethernet header (nothing a
// protocol can use), longer than a frame, or with a trailer whose length
// disagrees with the transfer (two frames run together, or the rest of a
// babbled one glued in front).
static ULONG ReceivedFrameLength(Adapter* adapter, TransferDescriptor* descriptor, ULONG received) {
  // No frame and no status byte: not an error.
  if (received < kRxStatusOffset) return 0;
  // More than the read asked for: nothing beyond the buffer is read.
  if (received > kTransferBufferSize) {
    CountShared(adapter->Statistics.RxFramingErrors);
    return 0;
  }
  const UCHAR status = descriptor->Buffer[received - kRxStatusOffset];
  if (status & kRxStatusDropMask) {
    if (status & kRxStatusCrcError) CountShared(adapter->Statistics.RxCrcErrors);
    return 0;
  }
  if (received < kReceiveOverhead + kEthernetHeaderSize ||
      TrailerLength(descriptor->Buffer, received) != received - kRxTrailerLengthOffset) {
    CountShared(adapter->Statistics.RxFramingErrors);
    return 0;
  }
  const ULONG length = received - kReceiveOverhead;
  // The packet's buffer describes at most one maximum-size frame.
  if (length > kMaxFrameSize) {
    CountShared(adapter->Statistics.RxFramingErrors);
    return 0;
  }
  CountShared(adapter->Statistics.RxGoodFrames);
  return length;
}

NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(context);
  Adapter* adapter = descriptor->Owner;

  if (LoadShared(adapter->AdapterState) != kStateRunning) {
    IoFreeIrp(irp);
    ReturnRxDescriptor(adapter, descriptor);
  } else {
    descriptor->Length = 0;
    descriptor->TransferStatus = kTransferFailed;
    if (irp->IoStatus.Status != STATUS_SUCCESS) {
      // Only a running adapter fails: a read ended by a reset's or the stop
      // path's pipe abort changes nothing.
      CompareExchangeShared(adapter->AdapterState, kStateRunning, kStateUsbFailure);
      IoFreeIrp(irp);
      ReturnRxDescriptor(adapter, descriptor);
    } else {
      const ULONG received = descriptor->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      descriptor->Length = ReceivedFrameLength(adapter, descriptor, received);
      descriptor->TransferStatus = kTransferSucceeded;
      IoFreeIrp(irp);
      if (descriptor->Length != 0) {
        QueueReceived(adapter, descriptor);
      } else {
        SubmitBulkIn(adapter, descriptor);
      }
    }
  }
  // Last: halt may free the adapter once no read is outstanding.
  InterlockedDecrement(&adapter->RxIrpsOutstanding);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG QueueReceived(Adapter* adapter, TransferDescriptor* descriptor) {
  NdisAcquireSpinLock(&adapter->RxLock);
  QueuePushBack(&adapter->RxReadyQueue, descriptor);
  TransferDescriptor* next = QueuePopFront(&adapter->RxFreeQueue);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (next != nullptr) SubmitBulkIn(adapter, next);
  ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, 0);
  return kOk;
}

// With RxLock held: the front free descriptor when every receive descriptor
// is free, that is when no read is outstanding and nothing waits.
static TransferDescriptor* TakeDescriptorToRestart(Adapter* adapter) {
  if (adapter->RxFreeQueue.Count < static_cast<LONG>(adapter->RxDescriptorCount)) return nullptr;
  return QueuePopFront(&adapter->RxFreeQueue);
}

ULONG RestartReception(Adapter* adapter) {
  NdisAcquireSpinLock(&adapter->RxLock);
  TransferDescriptor* descriptor =
      adapter->RxIndicating ? nullptr : TakeDescriptorToRestart(adapter);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (descriptor == nullptr) return kFailed;
  SubmitBulkIn(adapter, descriptor);
  return kOk;
}

static void IndicateReadyFrames(Adapter* adapter);

void NTAPI IndicateReceived(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3) {
  Adapter* adapter = static_cast<Adapter*>(FunctionContext);
  EnterTimerRoutine(adapter);
  IndicateReadyFrames(adapter);
  LeaveTimerRoutine(adapter);
}

static void IndicateReadyFrames(Adapter* adapter) {
  NdisAcquireSpinLock(&adapter->RxLock);
  // One run indicates at a time, so frames reach NDIS in arrival order; the
  // running one takes whatever is queued meanwhile before it stops.
  if (adapter->RxIndicating) {
    NdisReleaseSpinLock(&adapter->RxLock);
    return;
  }
  adapter->RxIndicating = 1;
  for (;;) {
    _disable();
    TransferDescriptor* descriptor = QueuePopFront(&adapter->RxReadyQueue);
    _enable();
    if (descriptor == nullptr) break;
    RxPacketRecord* record = static_cast<RxPacketRecord*>(descriptor->PacketRef);
    NdisAdjustBufferLength(record->NdisBuffer, descriptor->Length);
    // The packet's cached total length belongs to the previous frame.
    NdisRecalculatePacketCounts(record->Packet);
    NDIS_SET_PACKET_STATUS(record->Packet, NDIS_STATUS_RESOURCES);
    NdisReleaseSpinLock(&adapter->RxLock);
    NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle, &record->Packet, 1);
    NdisAcquireSpinLock(&adapter->RxLock);
    QueuePushBack(&adapter->RxFreeQueue, descriptor);
  }
  adapter->RxIndicating = 0;
  // Reception stopped when every descriptor waited for indication, or after
  // a failed read: start it again now that all are free. The read goes down
  // after RxLock is released, since its completion may run inline and take it.
  TransferDescriptor* restart = TakeDescriptorToRestart(adapter);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (restart != nullptr) SubmitBulkIn(adapter, restart);
}

}  // namespace usbeth
