// Receive path: RxQueueDepth bulk-in reads outstanding at once (one unless
// configured deeper), each into the buffer of a free receive descriptor. A
// completion checks the status trailer, queues a good frame on RxReadyQueue
// in the order the reads went down, starts the next read and arms
// RxIndicateTimer; the timer routine indicates every waiting frame with
// NDIS_STATUS_RESOURCES, so that NDIS copies it during the call.
//
// A receive descriptor is on RxFreeQueue, on RxReadyQueue, at the bus driver
// (with deeper queues in the RxReading ring, which also holds ended reads
// waiting for the reads before them), or being indicated; it returns to RxFreeQueue only after its
// indication, so a new read can never overwrite a frame that NDIS is still copying.
#include "datapath/datapath.h"
#include "miniport/miniport.h"

namespace usbeth {

// Each call asks for a filling of the reads: reads passed down until
// RxQueueDepth are at the bus driver or no descriptor is free. One thread at
// a time passes reads down, so that the RxReading ring holds them in the order
// the bus driver got them; a thread that finds another passing leaves its
// request to it. The reads go down with RxLock released, since a completion
// may run inline and take it.
//
// The turn (RxPassing) is 0 when nobody has it, else held by one thread, and
// above 1 when a filling was asked for since that thread last looked, or it
// left reads to pass itself. Others change it only under RxLock and only with
// an interlocked increment, which gives them the turn when it was free; the
// holder ends it under the lock, or after passing a read without the lock,
// with a compare-exchange from 1 that fails when anybody asked meanwhile.
// The turn counts in RxIrpsOutstanding, so that halt, which frees the adapter
// once that is 0, waits for it to end; its decrement is the turn's last touch.
// The RxReading ring, under RxLock.
static_assert((kMaxRxQueueDepth & (kMaxRxQueueDepth - 1)) == 0, "the ring wraps with a mask");

static FORCEINLINE LONG ReadsInRingLocked(Adapter* adapter) {
  return static_cast<LONG>(adapter->RxReadingTail - adapter->RxReadingHead);
}

// Never more than RxQueueDepth, at most kMaxRxQueueDepth, are in the ring.
static FORCEINLINE void AddReadLocked(Adapter* adapter, TransferDescriptor* descriptor) {
  adapter->RxReading[adapter->RxReadingTail & (kMaxRxQueueDepth - 1)] = descriptor;
  adapter->RxReadingTail++;
}

// The IRP of one read into `descriptor`'s buffer, or null when none.
static PIRP BuildReadIrp(Adapter* adapter, TransferDescriptor* descriptor) {
  return BuildBulkTransfer(adapter, descriptor, kBulkInPipe,
                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, kTransferBufferSize,
                           BulkInComplete);
}

// With RxLock held, when reads go down one at a time: a free descriptor for
// the next read, or null when a read is outstanding or none is free. One read
// cannot overtake another, so it needs neither a turn nor the RxReading ring.
static TransferDescriptor* TakeLoneReadLocked(Adapter* adapter) {
  if (adapter->RxLoneReadOut) return nullptr;
  TransferDescriptor* descriptor = QueuePopFront(&adapter->RxFreeQueue);
  if (descriptor != nullptr) adapter->RxLoneReadOut = 1;
  return descriptor;
}

// Passes down the read TakeLoneReadLocked set up.
static void PassLoneRead(Adapter* adapter, TransferDescriptor* descriptor) {
  PIRP irp = BuildReadIrp(adapter, descriptor);
  if (irp == nullptr) {
    // Without this the descriptor would be on no queue, and since reading
    // restarts only when every descriptor is free, reception would never
    // resume. Give it back and let the indication routine try again shortly.
    NdisAcquireSpinLock(&adapter->RxLock);
    adapter->RxLoneReadOut = 0;
    QueuePushBack(&adapter->RxFreeQueue, descriptor);
    NdisReleaseSpinLock(&adapter->RxLock);
    ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, kReceiveRetryDelayMs);
    return;
  }
  InterlockedIncrement(&adapter->RxIrpsOutstanding);
  IofCallDriver(adapter->LowerDevice, irp);
}

// With RxLock held, which it releases. `counted`: the caller holds a count
// in RxIrpsOutstanding until after this returns (a read's completion does),
// so the turn needs none of its own.
static FORCEINLINE void StartReadsLocked(Adapter* adapter, bool counted) {
  if (adapter->RxQueueDepth == 1) {
    TransferDescriptor* descriptor = TakeLoneReadLocked(adapter);
    NdisReleaseSpinLock(&adapter->RxLock);
    if (descriptor != nullptr) PassLoneRead(adapter, descriptor);
    return;
  }
  // Nobody has the turn when it reads 0, and then nobody else changes it
  // while the lock is held.
  if (LoadShared(adapter->RxPassing) == 0) {
    StoreShared(adapter->RxPassing, 1);
  } else if (IncrementShared(adapter->RxPassing) != 1) {
    NdisReleaseSpinLock(&adapter->RxLock);
    return;
  }
  if (!counted) InterlockedIncrement(&adapter->RxIrpsOutstanding);
  const LONG depth = static_cast<LONG>(adapter->RxQueueDepth);
  bool retry = false;
  for (;;) {
    TransferDescriptor* descriptor =
        ReadsInRingLocked(adapter) < depth ? QueuePopFront(&adapter->RxFreeQueue) : nullptr;
    if (descriptor == nullptr) break;
    // IRPs may be allocated at DISPATCH_LEVEL, under the lock.
    PIRP irp = BuildReadIrp(adapter, descriptor);
    if (irp == nullptr) {
      // Without this the descriptor would be on no queue, and since reading
      // restarts only when every descriptor is free, reception would never
      // resume. Give it back and let the indication routine try again
      // shortly.
      QueuePushBack(&adapter->RxFreeQueue, descriptor);
      retry = true;
      break;
    }
    descriptor->ReadEnd = kReadInFlight;
    AddReadLocked(adapter, descriptor);
    InterlockedIncrement(&adapter->RxIrpsOutstanding);
    // Room and a descriptor for another read: come back for it.
    if (ReadsInRingLocked(adapter) < depth && adapter->RxFreeQueue.Front != nullptr) {
      StoreShared(adapter->RxPassing, 2);
    }
    NdisReleaseSpinLock(&adapter->RxLock);
    IofCallDriver(adapter->LowerDevice, irp);
    if (CompareExchangeShared(adapter->RxPassing, 1, 0)) {
      if (!counted) InterlockedDecrement(&adapter->RxIrpsOutstanding);
      return;
    }
    // Whatever was asked until now, the look below answers.
    ExchangeShared(adapter->RxPassing, 1);
    NdisAcquireSpinLock(&adapter->RxLock);
  }
  StoreShared(adapter->RxPassing, 0);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (retry) ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, kReceiveRetryDelayMs);
  if (!counted) InterlockedDecrement(&adapter->RxIrpsOutstanding);
}

void StartReads(Adapter* adapter) {
  NdisAcquireSpinLock(&adapter->RxLock);
  StartReadsLocked(adapter, false);
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

// With RxLock held: puts a read that was dealt with where it goes next. A
// frame waits for indication, a descriptor with nothing to indicate is read
// into again first, one given back waits at the back. True for a frame.
static FORCEINLINE bool PlaceEndedReadLocked(Adapter* adapter, TransferDescriptor* ended,
                                             ULONG how) {
  if (how == kReadFrame) {
    QueuePushBack(&adapter->RxReadyQueue, ended);
    return true;
  }
  if (how == kReadAgain) {
    QueuePushFront(&adapter->RxFreeQueue, ended);
  } else {
    QueuePushBack(&adapter->RxFreeQueue, ended);
  }
  return false;
}

// With RxLock held: records how a read ended and deals, in order, with every
// ended read at the front of the RxReading ring. The read is in the ring:
// it was at the bus driver. When it is not the oldest, a read before it is
// still there (ended ones never stay at the front): it waits for that one,
// counted in RxReadsEndedEarly so that the oldest, when it ends, looks behind
// itself. True when a frame was queued for indication.
static FORCEINLINE bool EndReadLocked(Adapter* adapter, TransferDescriptor* descriptor, ULONG how) {
  ULONG head = adapter->RxReadingHead;
  if (adapter->RxReading[head & (kMaxRxQueueDepth - 1)] != descriptor) {
    descriptor->ReadEnd = how;
    adapter->RxReadsEndedEarly++;
    return false;
  }
  adapter->RxReadingHead = ++head;
  bool queued = PlaceEndedReadLocked(adapter, descriptor, how);
  // Reads behind it that ended first, on other processors.
  while (adapter->RxReadsEndedEarly != 0) {
    descriptor = adapter->RxReading[head & (kMaxRxQueueDepth - 1)];
    how = descriptor->ReadEnd;
    if (how == kReadInFlight) break;
    adapter->RxReadsEndedEarly--;
    adapter->RxReadingHead = ++head;
    if (PlaceEndedReadLocked(adapter, descriptor, how)) queued = true;
  }
  return queued;
}

NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(context);
  Adapter* adapter = descriptor->Owner;

  ULONG how = kReadGiveBack;
  const ULONG state = LoadShared(adapter->AdapterState);
  if (state == kStateInitializing && irp->IoStatus.Status != STATUS_SUCCESS &&
      irp->IoStatus.Status != STATUS_CANCELLED) {
    // Not ended by the restart's own pipe abort: the pipe is halted, and the
    // reads the restart starts next would wait behind it for ever.
    StoreShared(adapter->BulkFailedDuringRestart, 1);
  }
  if (state == kStateRunning) {
    descriptor->Length = 0;
    descriptor->TransferStatus = kTransferFailed;
    if (irp->IoStatus.Status != STATUS_SUCCESS) {
      // Only a running adapter fails: a read ended by a reset's or the stop
      // path's pipe abort changes nothing.
      CompareExchangeShared(adapter->AdapterState, kStateRunning, kStateUsbFailure);
    } else {
      const ULONG received = descriptor->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      descriptor->Length = ReceivedFrameLength(adapter, descriptor, received);
      descriptor->TransferStatus = kTransferSucceeded;
      how = descriptor->Length != 0 ? kReadFrame : kReadAgain;
    }
  }
  IoFreeIrp(irp);
  // Reading goes on after a read that ended well; after a failed one it
  // starts again only once every descriptor is free.
  bool queued = false;
  NdisAcquireSpinLock(&adapter->RxLock);
  if (adapter->RxQueueDepth == 1) {
    adapter->RxLoneReadOut = 0;
    TransferDescriptor* next = nullptr;
    if (how == kReadFrame) {
      QueuePushBack(&adapter->RxReadyQueue, descriptor);
      queued = true;
      next = TakeLoneReadLocked(adapter);
    } else if (how == kReadAgain) {
      adapter->RxLoneReadOut = 1;
      next = descriptor;
    } else {
      QueuePushBack(&adapter->RxFreeQueue, descriptor);
    }
    NdisReleaseSpinLock(&adapter->RxLock);
    if (next != nullptr) PassLoneRead(adapter, next);
  } else {
    queued = EndReadLocked(adapter, descriptor, how);
    if (how != kReadGiveBack) {
      StartReadsLocked(adapter, true);
    } else {
      NdisReleaseSpinLock(&adapter->RxLock);
    }
  }
  if (queued) ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, 0);
  // Last: halt may free the adapter once no read is outstanding.
  InterlockedDecrement(&adapter->RxIrpsOutstanding);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// With RxLock held: whether every receive descriptor is free, that is no
// read is outstanding and nothing waits.
static bool EveryRxDescriptorFree(Adapter* adapter) {
  return adapter->RxFreeQueue.Count >= static_cast<LONG>(adapter->RxDescriptorCount);
}

ULONG RestartReception(Adapter* adapter) {
  NdisAcquireSpinLock(&adapter->RxLock);
  const bool restart = !adapter->RxIndicating && EveryRxDescriptorFree(adapter);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (!restart) return kFailed;
  StartReads(adapter);
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
  const bool restart = EveryRxDescriptorFree(adapter);
  NdisReleaseSpinLock(&adapter->RxLock);
  if (restart) StartReads(adapter);
}

}  // namespace usbeth
