// Transfer descriptors and pools, transmit, receive and keep-alive.
//
// Locks of the data path, in the order they may nest:
//   TxLock (NDIS spin lock)        TxFreeQueue. Never held with TxSubmitLock.
//   RxLock (NDIS spin lock)        RxFreeQueue, RxReadyQueue, RxIndicating. Released
//                                  around every indication and every IofCallDriver.
//   TxSubmitLock (kernel spin lock, DISPATCH_LEVEL)
//                                  TxIrpsOutstanding and the choice between passing a
//                                  bulk-out IRP down and queueing it. Never held across
//                                  IofCallDriver or IoCancelIrp: the bus driver may
//                                  complete inline, and the completion takes it.
//   TxPendingLock (kernel spin lock, inside the interlocked list calls)
//                                  the links of TxPendingQueue; taken with TxSubmitLock held.
#pragma once

#include "miniport/adapter.h"
#include "usb/usb_transport.h"

namespace usbeth {

constexpr ULONG kUrbAreaSize = 96;
constexpr ULONG kTransferBufferSize = 1536;
constexpr ULONG kMaxFrameSize = 1514;
constexpr ULONG kMinTransferLength = 60;
constexpr ULONG kEthernetHeaderSize = 14;
constexpr ULONG kLengthPrefixSize = 2;
// Bulk-out transfers whose length is a multiple of the full-speed packet size
// must be ended by a zero-length transfer.
constexpr ULONG kBulkPacketSize = 64;
// A bulk-in transfer carries 4 bytes that are not indicated and a 4-byte
// status trailer after the frame.
constexpr ULONG kReceiveOverhead = 8;
constexpr ULONG kKeepAliveLength = 32;
constexpr ULONG kKeepAliveIntervalMs = 1000;
// How often the reset looks again for a bulk-out IRP on its way down.
constexpr ULONG kPassingPollUs = 100;
// Delay before reception is retried after a read found no IRP.
constexpr ULONG kReceiveRetryDelayMs = 10;

// Positions of the bulk pipes in the interface information.
constexpr ULONG kBulkInPipe = 0;
constexpr ULONG kBulkOutPipe = 1;

// TransferStatus
constexpr ULONG kTransferSucceeded = 1;
constexpr ULONG kTransferFailed = 2;

// Result of a bulk-out submission whose IRP reached the bus driver (or its
// queue) but which is nevertheless reported as failed. The descriptor then
// belongs to the completion routine, which returns it; the submitter must not.
constexpr ULONG kSubmitRefused = 3;

// Places in a bulk-in transfer of n bytes, counted back from its end: the
// trailer's length field (2 bytes, low first, 12 bits: frame and CRC) at
// n-4, the status byte at n-2.
constexpr ULONG kRxTrailerLengthOffset = 4;
constexpr ULONG kRxTrailerLengthMask = 0x0FFF;
constexpr ULONG kRxStatusOffset = 2;

// Receive status byte bits that drop a frame; 0x08 is a CRC error.
constexpr UCHAR kRxStatusDropMask = 0x1E;
constexpr UCHAR kRxStatusCrcError = 0x08;

struct TransferDescriptor {
  TransferDescriptor* Next;
  TransferDescriptor* Prev;
  PVOID PacketRef;
  Adapter* Owner;
  ULONG TransferStatus;
  ULONG Length;
  PURB Urb;
  PUCHAR Buffer;
  // The IRP of the transfer in flight. Bulk-out IRPs are held both by the code
  // that passed them down and by their completion routine; whichever lets go
  // last frees the IRP and returns the descriptor, so the passer may still
  // cancel the IRP after IofCallDriver returned.
  PIRP Irp;
  LONG volatile IrpHolds;
  // Receive: how the read ended, under RxLock (kReadInFlight while at the bus
  // driver). Reads end in the order they went down, but their completion
  // routines may run on several processors at once; a read is dealt with
  // only once every read before it has been.
  ULONG ReadEnd;
};

// TransferDescriptor::ReadEnd
constexpr ULONG kReadInFlight = 0;
constexpr ULONG kReadFrame = 1;     // holds a frame to indicate
constexpr ULONG kReadAgain = 2;     // nothing to indicate: read into it again first
constexpr ULONG kReadGiveBack = 3;  // failed, or the adapter is not running

struct RxPacketRecord {
  PNDIS_PACKET Packet;  // first: the record is the one-element packet array
  PNDIS_BUFFER NdisBuffer;
};

// The descriptor queues, taken once or more per frame: inline.
FORCEINLINE void QueuePushFront(DescriptorQueue* queue, TransferDescriptor* descriptor) {
  descriptor->Prev = nullptr;
  descriptor->Next = queue->Front;
  if (queue->Front != nullptr) {
    queue->Front->Prev = descriptor;
  } else {
    queue->Back = descriptor;
  }
  queue->Front = descriptor;
  queue->Count++;
}

FORCEINLINE void QueuePushBack(DescriptorQueue* queue, TransferDescriptor* descriptor) {
  descriptor->Prev = queue->Back;
  if (queue->Back != nullptr) {
    queue->Back->Next = descriptor;
  } else {
    queue->Front = descriptor;
  }
  queue->Back = descriptor;
  descriptor->Next = nullptr;
  queue->Count++;
}

FORCEINLINE TransferDescriptor* QueuePopFront(DescriptorQueue* queue) {
  TransferDescriptor* descriptor = queue->Front;
  if (descriptor == nullptr) return nullptr;
  queue->Front = descriptor->Next;
  if (queue->Front != nullptr) {
    queue->Front->Prev = nullptr;
  } else {
    queue->Back = nullptr;
  }
  queue->Count--;
  return descriptor;
}

// Allocates the descriptor block and carves it onto the free queues.
ULONG CarveDescriptors(Adapter* adapter);
ULONG AllocatePools(Adapter* adapter);
// Frees the packet and NDIS buffer of every receive descriptor, wherever the
// descriptor is, and clears PoolsAllocated. Runs before the pools are freed.
void FreeReceivePackets(Adapter* adapter);

// Fills the descriptor's bulk URB and allocates an IRP set up to carry it to
// LowerDevice with `routine` (context: the descriptor). Null when no IRP.
FORCEINLINE PIRP BuildBulkTransfer(Adapter* adapter, TransferDescriptor* descriptor, ULONG pipe,
                                   ULONG flags, ULONG length, PIO_COMPLETION_ROUTINE routine) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &descriptor->Urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = kBulkUrbLength;
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = adapter->InterfaceInfo->Pipes[pipe].PipeHandle;
  urb->TransferFlags = flags;
  urb->TransferBufferLength = length;
  urb->TransferBuffer = descriptor->Buffer;
  urb->TransferBufferMDL = nullptr;
  urb->UrbLink = nullptr;

  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(adapter->IrpStackSize), FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = descriptor->Urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, routine, descriptor, TRUE, TRUE, TRUE);
  // While the IRP waits in TxPendingQueue it is ours; the descriptor rides in
  // its driver context so that the queue needs nothing but the IRP.
  irp->Tail.Overlay.DriverContext[0] = descriptor;
  descriptor->Irp = irp;
  return irp;
}

// Transmit
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
// Takes the front of TxFreeQueue, or null, with processor interrupts
// disabled around TxLock.
FORCEINLINE TransferDescriptor* TakeTxDescriptor(Adapter* adapter) {
  _disable();
  NdisAcquireSpinLock(&adapter->TxLock);
  TransferDescriptor* descriptor = QueuePopFront(&adapter->TxFreeQueue);
  NdisReleaseSpinLock(&adapter->TxLock);
  _enable();
  return descriptor;
}
ULONG ReturnTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor);
// Puts back at the front of TxFreeQueue a descriptor that was never submitted.
void PutBackTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor);
// Called by each hang check: true once bulk-out transfers have waited at the
// bus driver through kTxStalledChecks checks in a row without one ending, as
// when the device stopped taking them.
constexpr UCHAR kTxStalledChecks = 2;
bool TxStalled(Adapter* adapter);
// Submits prepared bulk-out IRPs in order behind the one in flight. kOk,
// kSubmitRefused, or kFailed while the bulk pipes are being aborted (the IRPs
// are freed, the descriptors are the caller's).
ULONG SubmitBulkOutIrps(Adapter* adapter, PIRP first, PIRP second);
// Around a reset's abort and reset of the bulk pipes, at PASSIVE_LEVEL:
// BeginBulkOutAbort stops bulk-out IRPs from going down and returns once none
// is on its way to the bus driver; CancelQueuedBulkOut ends the IRPs still
// queued, unsent; EndBulkOutAbort lets transfers go down again.
void BeginBulkOutAbort(Adapter* adapter);
void CancelQueuedBulkOut(Adapter* adapter);
void EndBulkOutAbort(Adapter* adapter);
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
// The completion routine's share of a bulk-out IRP's end, after it recorded
// the outcome.
void ReleaseBulkOutIrp(Adapter* adapter, TransferDescriptor* descriptor);

// Receive
// Starts reads from the front of RxFreeQueue until RxQueueDepth are at the
// bus driver or no descriptor is free.
void StartReads(Adapter* adapter);
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
void NTAPI IndicateReceived(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);
// Starts a read when every receive descriptor is free (no read outstanding,
// nothing waiting to be indicated). kOk when a read was started.
ULONG RestartReception(Adapter* adapter);

// Keep-alive
void NTAPI KeepAliveTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
// kOk, kFailed (nothing sent, the descriptor is the caller's) or kSubmitRefused.
ULONG SendKeepAlive(Adapter* adapter, TransferDescriptor* descriptor);
NTSTATUS NTAPI KeepAliveComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

}  // namespace usbeth
