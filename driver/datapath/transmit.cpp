// Transmit path: one packet per MiniportSend, copied behind a 2-byte length
// prefix into a free transmit descriptor and sent as one bulk-out transfer.
//
// Bulk-out IRPs reach the bus driver in submission order, at most
// TxQueueDepth of them there at once (one unless configured deeper):
// TxIrpsOutstanding counts those at the bus driver plus those waiting in
// TxPendingQueue, and the end of each IRP lets the next one down. One thread
// at a time passes IRPs down, so that two processors never race to the bus
// driver with consecutive IRPs. A frame whose transfer is a multiple of the
// bulk packet size is queued together with its zero-length transfer, so that
// nothing can come between the two.
//
// While a reset aborts and resets the bulk pipes (TxPipesAborting, set and
// read under TxSubmitLock), nothing is passed down: an aborted transfer, or a
// frame whose zero-length transfer the abort ended, leaves the device holding
// a transfer without an end until the pipe reset, and whatever reached it in
// between would be read as the rest. The IRPs queued meanwhile are ended here
// (CancelQueuedBulkOut) and new sends are refused. The same holds from a
// failed bulk-out transfer until that reset (TxHeldAfterFailure), and the
// queued IRPs are ended at its completion: the failed transfer may have been
// the zero-length one that ends a frame.
#include "datapath/datapath.h"
#include "miniport/miniport.h"
#include "usb/usb_transport.h"

namespace usbeth {

void PutBackTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
  NdisAcquireSpinLock(&adapter->TxLock);
  QueuePushFront(&adapter->TxFreeQueue, descriptor);
  NdisReleaseSpinLock(&adapter->TxLock);
}

static FORCEINLINE ULONG ReturnTxDescriptorInline(Adapter* adapter,
                                                  TransferDescriptor* descriptor) {
  NdisAcquireSpinLock(&adapter->TxLock);
  QueuePushBack(&adapter->TxFreeQueue, descriptor);
  NdisReleaseSpinLock(&adapter->TxLock);
  if (LoadShared(adapter->TxStarved)) ArmAdapterTimer(adapter, &adapter->RxIndicateTimer, 0);
  return kOk;
}

// The send path has it inline; ending queued IRPs unsent calls it.
ULONG ReturnTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
  return ReturnTxDescriptorInline(adapter, descriptor);
}

// kOk, or kFailed for a packet that is empty, shorter than an Ethernet header
// or longer than kMaxFrameSize (nothing is copied then).
static FORCEINLINE ULONG CopyPacketToDescriptor(Adapter* adapter, TransferDescriptor* descriptor) {
  PNDIS_PACKET packet = *static_cast<PNDIS_PACKET*>(descriptor->PacketRef);
  PNDIS_BUFFER buffer = nullptr;
  UINT total_length = 0;
  NdisQueryPacket(packet, nullptr, nullptr, &buffer, &total_length);
  // The buffer holds the prefix and at most one maximum-size frame; a packet
  // outside what an Ethernet frame can be is refused before anything is copied.
  if (total_length < kEthernetHeaderSize || total_length > kMaxFrameSize) return kFailed;

  PUCHAR frame = descriptor->Buffer + kLengthPrefixSize;
  UINT copied = 0;
  while (buffer != nullptr && copied < total_length) {
    PVOID address = nullptr;
    UINT length = 0;
    NdisQueryBuffer(buffer, &address, &length);
    if (length > total_length - copied) length = total_length - copied;
    // An empty buffer in the chain may describe no memory at all.
    if (length != 0) RtlCopyMemory(frame + copied, address, length);
    copied += length;
    NdisGetNextBuffer(buffer, &buffer);
  }
  if (copied != total_length) return kFailed;

  descriptor->Buffer[0] = static_cast<UCHAR>(total_length & 0xFF);
  descriptor->Buffer[1] = static_cast<UCHAR>(total_length >> 8);
  descriptor->Length = total_length + kLengthPrefixSize;
  return kOk;
}

// Takes TxSubmitLock at DISPATCH_LEVEL, as every user of it does.
static KIRQL AcquireSubmitLock(Adapter* adapter) {
  KIRQL old_irql = KfRaiseIrql(DISPATCH_LEVEL);
  KefAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
  return old_irql;
}

static void ReleaseSubmitLock(Adapter* adapter, KIRQL old_irql) {
  KefReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
  KfLowerIrql(old_irql);
}

static void QueuePendingIrp(Adapter* adapter, PIRP irp) {
  ExfInterlockedInsertTailList(&adapter->TxPendingQueue, &irp->Tail.Overlay.ListEntry,
                               &adapter->TxPendingLock);
}

// The turn to pass IRPs down (TxPassing): 0 when nobody has it, else held by
// one thread, and above 1 when something happened since that thread last
// looked at the queue (an IRP queued, room made at the bus driver, or IRPs it
// left behind itself), so that it must look again. Others change it only
// under TxSubmitLock and only with an interlocked increment, which gives them
// the turn when it was free; the holder ends it under the lock, or without the
// lock with a compare-exchange from 1 that fails when anybody asked meanwhile.
// The holder touches the adapter only while it holds a bulk-out IRP it passed
// or is about to pass, whose count in TxIrpsOutstanding keeps halt waiting.

// With TxSubmitLock held: asks for the turn; true when this thread now has it.
static bool AskTurnLocked(Adapter* adapter) {
  return IncrementShared(adapter->TxPassing) == 1;
}

// With TxSubmitLock held, by the thread whose turn it is.
static void EndTurnLocked(Adapter* adapter) {
  StoreShared(adapter->TxPassing, 0);
}

// With TxSubmitLock held: whether IRPs may go down, which they may not while
// a reset aborts the pipes or after a failed transfer until that reset.
static bool PassingAllowedLocked(Adapter* adapter) {
  return adapter->TxPipesAborting == 0 && LoadShared(adapter->TxHeldAfterFailure) == 0;
}

// With TxSubmitLock held: counts an IRP at the bus driver, and on its way
// down until its IofCallDriver returns (the reset waits for that before it
// aborts the pipes).
static void CountAtBusLocked(Adapter* adapter) {
  adapter->TxIrpsAtBus++;
  InterlockedIncrement(&adapter->TxIrpsPassing);
}

// With TxSubmitLock held, by the thread whose turn it is, after counting an
// IRP at the bus: when the bus driver takes one IRP at a time the turn ends
// here, since nothing else can go down before that IRP ends and the thread
// need not come back for the next. Otherwise IRPs still queued behind it make
// the thread look again after passing it. Returns whether the turn goes on.
static bool TurnGoesOnLocked(Adapter* adapter) {
  if (adapter->TxQueueDepth > 1) {
    if (!IsListEmpty(&adapter->TxPendingQueue)) StoreShared(adapter->TxPassing, 2);
    return true;
  }
  EndTurnLocked(adapter);
  return false;
}

// With TxSubmitLock held, by the thread whose turn it is: the next queued IRP
// when the bus driver has room for another, or null, which ends the turn.
// `*turn_goes_on` says whether the thread must come back for more after
// passing the IRP.
static PIRP TakeIrpToPassLocked(Adapter* adapter, bool* turn_goes_on) {
  *turn_goes_on = false;
  if (adapter->TxIrpsAtBus < static_cast<LONG>(adapter->TxQueueDepth) &&
      !IsListEmpty(&adapter->TxPendingQueue) && PassingAllowedLocked(adapter)) {
    PLIST_ENTRY entry =
        ExfInterlockedRemoveHeadList(&adapter->TxPendingQueue, &adapter->TxPendingLock);
    CountAtBusLocked(adapter);
    *turn_goes_on = TurnGoesOnLocked(adapter);
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
  }
  EndTurnLocked(adapter);
  return nullptr;
}

// By the thread whose turn it is, after passing an IRP it still holds, when
// somebody asked it to look again: the next IRP to pass, or null when the
// turn ended (`*turn` false).
static PIRP LookAgainInTurn(Adapter* adapter, bool* turn) {
  // Whatever was asked until now, the look below answers.
  ExchangeShared(adapter->TxPassing, 1);
  KIRQL old_irql = AcquireSubmitLock(adapter);
  PIRP next = TakeIrpToPassLocked(adapter, turn);
  ReleaseSubmitLock(adapter, old_irql);
  return next;
}

// By the thread whose turn it is, after passing an IRP it still holds: ends
// the turn when nobody asked for another look, without the lock; otherwise
// looks again. The next IRP to pass, or null when the turn ended.
static FORCEINLINE PIRP NextInTurn(Adapter* adapter, bool* turn) {
  if (CompareExchangeShared(adapter->TxPassing, 1, 0)) {
    *turn = false;
    return nullptr;
  }
  return LookAgainInTurn(adapter, turn);
}

// Ends a bulk-out IRP once nobody holds it: frees it, returns its descriptor
// and gives up its place at the bus driver. When IRPs wait, the room made
// asks for the turn: returns the next IRP this thread must pass down when the
// turn was free (`*turn` then says whether it goes on), else null, and the
// thread whose turn it is looks again. Nothing of the adapter is touched
// after: halt frees it once TxIrpsOutstanding is 0.
static FORCEINLINE PIRP FinishBulkOut(Adapter* adapter, TransferDescriptor* descriptor,
                                      bool* turn) {
  IoFreeIrp(descriptor->Irp);
  descriptor->Irp = nullptr;
  // TxLock first and on its own: it is never held with TxSubmitLock.
  ReturnTxDescriptorInline(adapter, descriptor);

  PIRP next = nullptr;
  *turn = false;
  KIRQL old_irql = AcquireSubmitLock(adapter);
  adapter->TxIrpsOutstanding--;
  adapter->TxIrpsAtBus--;
  adapter->TxIrpsEnded++;
  // The queue is tested first: with one transfer at a time it is nearly
  // always empty here.
  if (!IsListEmpty(&adapter->TxPendingQueue) && AskTurnLocked(adapter)) {
    next = TakeIrpToPassLocked(adapter, turn);
  }
  // After a failed transfer the queued IRPs are ended unsent at once, which
  // gives their descriptors back (halt waits for those, so the adapter is
  // still there); new sends are refused until the reset.
  const bool cancel_queued =
      !IsListEmpty(&adapter->TxPendingQueue) && LoadShared(adapter->TxHeldAfterFailure) != 0;
  ReleaseSubmitLock(adapter, old_irql);
  if (cancel_queued) CancelQueuedBulkOut(adapter);
  return next;
}

// The passer's finish, when the completion ran before its IofCallDriver
// returned: out of line, so that the send path stays small.
static DECLSPEC_NOINLINE PIRP FinishPassedBulkOut(Adapter* adapter, TransferDescriptor* descriptor,
                                                  bool* turn) {
  return FinishBulkOut(adapter, descriptor, turn);
}

// Passes bulk-out IRPs to the bus driver, starting with `irp` (already taken
// and counted at the bus by this thread), for as long as its turn (`turn`)
// goes on. Returns the outcome for `own` when this loop passed it:
// STATUS_PENDING or the status the bus driver returned, or STATUS_CANCELLED
// when the adapter is being stopped; STATUS_PENDING when it did not pass it.
//
// No lock is held here, so a completion that runs inside IofCallDriver or
// IoCancelIrp finds TxSubmitLock free. Both the passer and the completion
// hold the IRP. The passer settles its turn before it lets go, so that the
// IRP keeps the adapter meanwhile; when the completion ran inline the passer
// lets go last and goes on with the next queued IRP in this loop instead of
// recursing.
static FORCEINLINE NTSTATUS PassBulkOutDown(Adapter* adapter, PIRP irp, bool turn, PIRP own) {
  NTSTATUS own_status = STATUS_PENDING;
  while (irp != nullptr) {
    TransferDescriptor* descriptor =
        static_cast<TransferDescriptor*>(irp->Tail.Overlay.DriverContext[0]);
    // Nobody else sees the IRP before IofCallDriver, which publishes the
    // count with it.
    descriptor->IrpHolds = 2;
    NTSTATUS status = IofCallDriver(adapter->LowerDevice, irp);
    // The reset waits for this before it aborts the pipes.
    InterlockedDecrement(&adapter->TxIrpsPassing);
    // Only a stopping adapter, whose pipes are aborted and reset next,
    // cancels. Cancelling a transfer the bus has half sent leaves the device
    // holding part of a frame until the pipe is reset; a controller restart
    // without the abort therefore lets transfers in flight run to their end.
    if (status == STATUS_PENDING && LoadShared(adapter->AdapterState) == kStateStopped) {
      IoCancelIrp(irp);
      status = STATUS_CANCELLED;
    }
    if (irp == own) {
      own_status = status;
      own = nullptr;  // an IRP allocated later at the same address is not it
    }
    irp = turn ? NextInTurn(adapter, &turn) : nullptr;
    if (InterlockedDecrement(&descriptor->IrpHolds) == 0) {
      // While this thread's turn goes on nobody else gets it, so the finish
      // hands this thread an IRP only when it has none (its turn ended).
      bool finish_turn = false;
      PIRP more = FinishPassedBulkOut(adapter, descriptor, &finish_turn);
      if (more != nullptr) {
        irp = more;
        turn = finish_turn;
      }
    }
  }
  return own_status;
}

static FORCEINLINE void ReleaseBulkOutIrpInline(Adapter* adapter, TransferDescriptor* descriptor) {
  if (InterlockedDecrement(&descriptor->IrpHolds) != 0) return;
  bool turn = false;
  PIRP next = FinishBulkOut(adapter, descriptor, &turn);
  if (next != nullptr) PassBulkOutDown(adapter, next, turn, nullptr);
}

void ReleaseBulkOutIrp(Adapter* adapter, TransferDescriptor* descriptor) {
  ReleaseBulkOutIrpInline(adapter, descriptor);
}

// Frees an IRP that never went down; its descriptor is the caller's again.
static void FreeUnsentIrp(PIRP irp) {
  TransferDescriptor* descriptor =
      static_cast<TransferDescriptor*>(irp->Tail.Overlay.DriverContext[0]);
  IoFreeIrp(irp);
  descriptor->Irp = nullptr;
}

static FORCEINLINE ULONG SubmitBulkOutIrpsInline(Adapter* adapter, PIRP first, PIRP second) {
  PIRP next = nullptr;
  bool turn = false;
  KIRQL old_irql = AcquireSubmitLock(adapter);
  if (!PassingAllowedLocked(adapter)) {
    ReleaseSubmitLock(adapter, old_irql);
    FreeUnsentIrp(first);
    if (second != nullptr) FreeUnsentIrp(second);
    return kFailed;
  }
  adapter->TxIrpsOutstanding += second != nullptr ? 2 : 1;
  if (LoadShared(adapter->TxPassing) == 0 && IsListEmpty(&adapter->TxPendingQueue) &&
      adapter->TxIrpsAtBus < static_cast<LONG>(adapter->TxQueueDepth)) {
    // Nothing ahead of it and room at the bus driver: it goes down now,
    // without a trip through the queue. Nobody has the turn, so nobody else
    // changes TxPassing while the lock is held. When the bus driver takes one
    // IRP at a time there is no turn to take: nothing else can go down before
    // this one ends, whose end passes the zero-length IRP queued behind it.
    CountAtBusLocked(adapter);
    next = first;
    if (second != nullptr) QueuePendingIrp(adapter, second);
    turn = adapter->TxQueueDepth > 1;
    if (turn) StoreShared(adapter->TxPassing, second != nullptr ? 2 : 1);
  } else {
    QueuePendingIrp(adapter, first);
    if (second != nullptr) QueuePendingIrp(adapter, second);
    if (AskTurnLocked(adapter)) next = TakeIrpToPassLocked(adapter, &turn);
  }
  ReleaseSubmitLock(adapter, old_irql);
  if (next == nullptr) return kOk;

  // From here on the completion routine owns the descriptors. A transfer the
  // bus driver took, or finished at once with success, is sent; one it
  // refused, or that was cancelled because the adapter stopped, is not.
  NTSTATUS status = PassBulkOutDown(adapter, next, turn, first);
  if (status == STATUS_PENDING || NT_SUCCESS(status)) return kOk;
  return kSubmitRefused;
}

ULONG SubmitBulkOutIrps(Adapter* adapter, PIRP first, PIRP second) {
  return SubmitBulkOutIrpsInline(adapter, first, second);
}

bool TxStalled(Adapter* adapter) {
  KIRQL old_irql = AcquireSubmitLock(adapter);
  const bool waiting =
      adapter->TxIrpsAtBus > 0 && adapter->TxIrpsEnded == adapter->TxIrpsEndedAtLastCheck;
  adapter->TxStalledChecks = waiting ? adapter->TxStalledChecks + 1 : 0;
  adapter->TxIrpsEndedAtLastCheck = adapter->TxIrpsEnded;
  const bool stalled = adapter->TxStalledChecks >= kTxStalledChecks;
  if (stalled) adapter->TxStalledChecks = 0;
  ReleaseSubmitLock(adapter, old_irql);
  return stalled;
}

void BeginBulkOutAbort(Adapter* adapter) {
  KIRQL old_irql = AcquireSubmitLock(adapter);
  adapter->TxPipesAborting = 1;
  ReleaseSubmitLock(adapter, old_irql);
  // An IRP taken for passing before the flag was set is at the bus once its
  // IofCallDriver returned: the abort then ends it.
  while (InterlockedCompareExchange(&adapter->TxIrpsPassing, 0, 0) != 0)
    SleepMicroseconds(kPassingPollUs);
}

void CancelQueuedBulkOut(Adapter* adapter) {
  // An IRP taken off the queue stays counted until its descriptor is back:
  // halt frees the adapter once the count is 0 and every descriptor is home,
  // and this loop takes TxSubmitLock again after giving one back. The last
  // thing done with the adapter is the release that follows the last count.
  bool counted = false;
  for (;;) {
    KIRQL old_irql = AcquireSubmitLock(adapter);
    if (counted) adapter->TxIrpsOutstanding--;
    PLIST_ENTRY entry =
        ExfInterlockedRemoveHeadList(&adapter->TxPendingQueue, &adapter->TxPendingLock);
    ReleaseSubmitLock(adapter, old_irql);
    if (entry == nullptr) return;
    counted = true;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    TransferDescriptor* descriptor =
        static_cast<TransferDescriptor*>(irp->Tail.Overlay.DriverContext[0]);
    descriptor->TransferStatus = kTransferFailed;
    FreeUnsentIrp(irp);
    ReturnTxDescriptor(adapter, descriptor);
  }
}

void EndBulkOutAbort(Adapter* adapter) {
  KIRQL old_irql = AcquireSubmitLock(adapter);
  adapter->TxPipesAborting = 0;
  StoreShared(adapter->TxHeldAfterFailure, 0);
  ReleaseSubmitLock(adapter, old_irql);
}

// Submits a copied frame and, when given, the zero-length transfer that must
// follow it; the two are queued back to back. kOk, kFailed (nothing sent, the
// descriptors are still the caller's) or kSubmitRefused. The caller has seen the
// adapter running.
static FORCEINLINE ULONG SubmitBulkOut(Adapter* adapter, TransferDescriptor* descriptor,
                                       TransferDescriptor* zero_length) {
  PIRP irp = BuildBulkTransfer(adapter, descriptor, kBulkOutPipe, USBD_TRANSFER_DIRECTION_OUT,
                               descriptor->Length, BulkOutComplete);
  if (irp == nullptr) return kFailed;
  PIRP zero_length_irp = nullptr;
  if (zero_length != nullptr) {
    zero_length->Length = 0;
    zero_length_irp = BuildBulkTransfer(adapter, zero_length, kBulkOutPipe,
                                        USBD_TRANSFER_DIRECTION_OUT, 0, BulkOutComplete);
    if (zero_length_irp == nullptr) {
      IoFreeIrp(irp);
      descriptor->Irp = nullptr;
      return kFailed;
    }
  }
  return SubmitBulkOutIrpsInline(adapter, irp, zero_length_irp);
}

// A frame that needs a zero-length transfer behind it: out of line, so that
// the send path of every other frame knows it has one IRP.
static DECLSPEC_NOINLINE ULONG SubmitBulkOutWithZeroLength(Adapter* adapter,
                                                           TransferDescriptor* descriptor,
                                                           TransferDescriptor* zero_length) {
  return SubmitBulkOut(adapter, descriptor, zero_length);
}

NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                               UINT Flags) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  TransferDescriptor* descriptor = TakeTxDescriptor(adapter);
  if (descriptor == nullptr) {
    StoreShared(adapter->TxStarved, 1);
    return NDIS_STATUS_RESOURCES;
  }
  *static_cast<PNDIS_PACKET*>(descriptor->PacketRef) = Packet;

  if (LoadShared(adapter->AdapterState) != kStateRunning ||
      CopyPacketToDescriptor(adapter, descriptor) != kOk) {
    PutBackTxDescriptor(adapter, descriptor);
    return NDIS_STATUS_FAILURE;
  }

  // The zero-length transfer's descriptor is taken before anything is sent:
  // without one the frame is not sent either and NDIS keeps the packet.
  TransferDescriptor* zero_length = nullptr;
  if ((descriptor->Length & (kBulkPacketSize - 1)) == 0) {
    zero_length = TakeTxDescriptor(adapter);
    if (zero_length == nullptr) {
      PutBackTxDescriptor(adapter, descriptor);
      StoreShared(adapter->TxStarved, 1);
      return NDIS_STATUS_RESOURCES;
    }
  }
  if (descriptor->Length < kMinTransferLength) descriptor->Length = kMinTransferLength;

  const ULONG submitted = zero_length == nullptr
                              ? SubmitBulkOut(adapter, descriptor, nullptr)
                              : SubmitBulkOutWithZeroLength(adapter, descriptor, zero_length);
  switch (submitted) {
    case kOk:
      NdisMSendComplete(adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_SUCCESS);
      return NDIS_STATUS_PENDING;
    case kSubmitRefused:
      // The completion routines return the descriptors.
      return NDIS_STATUS_FAILURE;
    default:
      if (zero_length != nullptr) PutBackTxDescriptor(adapter, zero_length);
      PutBackTxDescriptor(adapter, descriptor);
      return NDIS_STATUS_FAILURE;
  }
}

NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(context);
  Adapter* adapter = descriptor->Owner;
  if (irp->IoStatus.Status == STATUS_SUCCESS) {
    descriptor->TransferStatus = kTransferSucceeded;
    // A zero-length transfer only ends the frame before it.
    if (descriptor->Length != 0) CountShared(adapter->Statistics.TxGoodFrames);
  } else {
    descriptor->TransferStatus = kTransferFailed;
    // Only a running adapter fails: a transfer cancelled by the stop path or
    // aborted by a reset changes nothing.
    CompareExchangeShared(adapter->AdapterState, kStateRunning, kStateUsbFailure);
    // Whatever the state, nothing more goes down before the pipe reset; a
    // stopping adapter instead lets its stop path cancel what is queued.
    KIRQL old_irql = AcquireSubmitLock(adapter);
    if (LoadShared(adapter->AdapterState) != kStateStopped) {
      StoreShared(adapter->TxHeldAfterFailure, 1);
    }
    ReleaseSubmitLock(adapter, old_irql);
  }
  ReleaseBulkOutIrpInline(adapter, descriptor);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbeth
