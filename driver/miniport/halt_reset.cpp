// Halt, shutdown and reset of an adapter.
//
// The stop sequence ends every source of work before halt releases the
// adapter's memory: the link monitor stops and powers the PHYs down, the
// state moves to stopped (from then on no completion or timer routine starts
// new work or arms a timer), the bulk pipes are aborted, and after the
// one-second settle the stop waits until no transfer of any kind is
// outstanding and no timer routine runs, and cancels the timers for good.
// The system shutdown handler runs the same sequence but gives up waiting
// for the bus after a bound, since the machine may be going down; halt always
// waits for every transfer before it frees anything.
//
// A reset restarts the controller in place at PASSIVE_LEVEL. Called above
// that level, it is carried out by a work item and completed to NDIS
// afterwards. It keeps clear of a running link chain, which shares the
// register buffers with it, puts the packet filter back into the restarted
// controller, and leaves reception and the link poll running. A failed bulk
// transfer stops the data path (the adapter's failed state); the check for
// hang reports it, and the reset that NDIS then makes also resets both bulk
// pipes, which clears an endpoint the device halted.

#include "controller/controller.h"
#include "datapath/datapath.h"
#include "miniport/miniport.h"
#include "miniport/tracker.h"
#include "phy/link_monitor.h"
#include "usb/usb_config.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr ULONG kSettleRounds = 100;
constexpr ULONG kSettleDelayUs = 10000;
// While transfers drain: one round every 10 ms, and a renewed cancel of what
// is still outstanding every second.
constexpr ULONG kDrainDelayUs = 10000;
constexpr ULONG kDrainRoundsPerCancel = 100;
// A link chain takes a few seconds at most (its longest step delay is 5 s).
constexpr USHORT kLinkChainWaitRounds = 30000;
// A filter write takes a few milliseconds; one still in flight after a
// second is one the device will not answer. Control requests queue behind
// it on the default pipe, so the reset and the stop end it before their own.
constexpr ULONG kPacketFilterWaitRounds = 1000;
// The shutdown handler's bound on waiting for the bus: two seconds.
constexpr ULONG kShutdownDrainRounds = 200;
// A reset from the failed state waits this long for the transfers its pipe
// abort ended: one second.
constexpr ULONG kPipeResetDrainRounds = 100;
// Time for a timer expiry that the platform dispatched just before the last
// cancellation to enter its routine.
constexpr ULONG kTimerDispatchGraceUs = 10000;
constexpr ULONG kTimerQuietPollUs = 1000;

void CancelTimers(Adapter* adapter) {
  BOOLEAN cancelled;
  NdisMCancelTimer(&adapter->RxIndicateTimer, &cancelled);
  NdisMCancelTimer(&adapter->StepTimer, &cancelled);
  NdisMCancelTimer(&adapter->LinkPollTimer, &cancelled);
  if (adapter->KeepAliveTimerStarted) NdisMCancelTimer(&adapter->KeepAliveTimer, &cancelled);
}

// True when no transfer of the adapter is at the bus driver or queued for
// it and no receive indication is running: every descriptor is back on its
// queues, and no register or filter request is in flight.
bool TransfersIdle(Adapter* adapter) {
  if (adapter->AsyncRequestsOutstanding != 0 || adapter->FilterWriteBusy != 0) return false;
  // Read under TxSubmitLock: the completion that ends the last transfer
  // lowers the count under that lock, and releasing it is the last thing that
  // completion does with the adapter. Read without the lock, the count could
  // reach 0 while that release was still to come, after halt freed the lock.
  KIRQL old_irql = KfRaiseIrql(DISPATCH_LEVEL);
  KefAcquireSpinLockAtDpcLevel(&adapter->TxSubmitLock);
  const LONG tx_outstanding = adapter->TxIrpsOutstanding;
  KefReleaseSpinLockFromDpcLevel(&adapter->TxSubmitLock);
  KfLowerIrql(old_irql);
  if (tx_outstanding != 0) return false;
  NdisAcquireSpinLock(&adapter->TxLock);
  const bool tx_home = static_cast<ULONG>(adapter->TxFreeQueue.Count) == adapter->TxDescriptorCount;
  NdisReleaseSpinLock(&adapter->TxLock);
  NdisAcquireSpinLock(&adapter->RxLock);
  const bool rx_home =
      static_cast<ULONG>(adapter->RxFreeQueue.Count + adapter->RxReadyQueue.Count) ==
          adapter->RxDescriptorCount &&
      adapter->RxIndicating == 0;
  NdisReleaseSpinLock(&adapter->RxLock);
  return tx_home && rx_home;
}

// Waits until nothing is outstanding. Transfers that the pipe abort did not
// end, and register and filter requests the device never answers, are
// cancelled again every second until they have completed: the adapter's
// memory must not go while the bus driver still holds any of it. With a
// `limit` of 0 it waits for as long as that takes; otherwise it gives up
// after `limit` rounds of 10 ms. True when nothing is outstanding.
bool DrainTransfers(Adapter* adapter, ULONG limit) {
  ULONG rounds = 0;
  while (!TransfersIdle(adapter)) {
    if (limit != 0 && rounds >= limit) return false;
    SleepMicroseconds(kDrainDelayUs);
    if (++rounds % kDrainRoundsPerCancel == 0) {
      CancelAsyncRegisterRequests(adapter);
      CancelPacketFilterWrite(adapter);
      AbortAndResetPipes(adapter);
      CancelQueuedBulkOut(adapter);
    }
  }
  return true;
}

// With the stopped state visible: waits until no timer arming is in progress
// (none can begin now) and cancels every timer, which leaves none armed for
// good; then waits for the routines still running.
void QuiesceTimers(Adapter* adapter) {
  while (!TimersQuiet(adapter))
    SleepMicroseconds(kTimerQuietPollUs);
  CancelTimers(adapter);
  SleepMicroseconds(kTimerDispatchGraceUs);
  while (!TimersQuiet(adapter))
    SleepMicroseconds(kTimerQuietPollUs);
}

// Waits for a packet-filter write in flight; one the device never answers is
// cancelled, which leaves its values to be written again.
void WaitFilterWriteEnded(Adapter* adapter) {
  if (WaitPacketFilterIdle(adapter, kPacketFilterWaitRounds) == kOk) return;
  CancelPacketFilterWrite(adapter);
  WaitPacketFilterIdle(adapter, kPacketFilterWaitRounds);
}

// The stop sequence; `drain_limit` as for DrainTransfers.
void StopAdapter(Adapter* adapter, ULONG drain_limit) {
  BeginDeviceSequence(adapter);
  CancelTimers(adapter);
  WaitFilterWriteEnded(adapter);
  PowerDownPhys(adapter);
  // A full barrier: every timer arming that starts after this sees it.
  ExchangeShared(adapter->AdapterState, kStateStopped);

  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  urb.UrbControlFeatureRequest.Hdr.Length = kFeatureUrbLength;
  urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  urb.UrbControlFeatureRequest.UrbLink = nullptr;
  urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
  urb.UrbControlFeatureRequest.Index = 0;
  SubmitUrbSync(adapter, &urb);

  AbortAndResetPipes(adapter);
  // Bulk-out IRPs held back after a failed transfer never go down now.
  CancelQueuedBulkOut(adapter);
  for (ULONG i = 0; i < kSettleRounds; ++i)
    SleepMicroseconds(kSettleDelayUs);

  // A completion or timer routine that ran before the state changed may have
  // armed a timer again; nothing arms one from here on.
  CancelTimers(adapter);
  DrainTransfers(adapter, drain_limit);
  QuiesceTimers(adapter);
}

// The bulk pipes after a failed transfer: aborted, which ends the transfers
// still at the bus driver, and reset, which clears a halted endpoint. Waits,
// bounded, for the aborted transfers to come back, so that reception starts
// again from a complete set of descriptors. No bulk-out IRP goes down from
// before the abort until the pipes are reset, and those queued behind an
// aborted one are ended unsent (transmit.cpp): passed down before the pipe
// reset, one would be read by the device as the rest of a frame the abort
// cut, or of a frame whose zero-length transfer it ended.
ULONG ResetBulkPipes(Adapter* adapter) {
  BeginBulkOutAbort(adapter);
  const ULONG reset = AbortAndResetPipes(adapter);
  CancelQueuedBulkOut(adapter);
  for (ULONG round = 0; round < kPipeResetDrainRounds; ++round) {
    if (InterlockedCompareExchange(&adapter->RxIrpsOutstanding, 0, 0) == 0 &&
        LoadShared(adapter->TxIrpsOutstanding) == 0) {
      break;
    }
    SleepMicroseconds(kDrainDelayUs);
  }
  EndBulkOutAbort(adapter);
  return reset;
}

// Waits until no link chain owns the register machinery, cancelling a
// request that never completes so that its chain can end.
void WaitLinkChainIdle(Adapter* adapter) {
  if (WaitLinkPollIdle(adapter, kLinkChainWaitRounds) == kOk) return;
  CancelAsyncRegisterRequests(adapter);
  WaitLinkPollIdle(adapter, kLinkChainWaitRounds);
}

// Every counter to zero, one whole store each: completions may be counting.
void ZeroStatistics(Adapter* adapter) {
  AdapterStatistics& s = adapter->Statistics;
  ULONG* counters[] = {&s.RxGoodFrames,    &s.RxCrcErrors, &s.RxAlignmentErrors,
                       &s.TxGoodFrames,    &s.TxErrors,    &s.TxUnderruns,
                       &s.TxOneCollisions, &s.TxDeferred,  &s.RxFramingErrors};
  static_assert(sizeof(counters) / sizeof(counters[0]) * sizeof(ULONG) == sizeof(AdapterStatistics),
                "every counter is zeroed");
  for (ULONG* counter : counters)
    StoreShared(*counter, 0);
}

// The reset proper, at PASSIVE_LEVEL.
void RestartAdapter(Adapter* adapter) {
  BeginDeviceSequence(adapter);
  // State 0 keeps a link poll from starting a chain and a completing read
  // from starting another. A stopped adapter stays stopped.
  const ULONG previous = ExchangeShared(adapter->AdapterState, kStateInitializing);
  if (previous == kStateStopped) {
    StoreShared(adapter->AdapterState, kStateStopped);
    return;
  }
  WaitLinkChainIdle(adapter);
  WaitFilterWriteEnded(adapter);
  StoreShared(adapter->LinkPollBusy, 1);

  if (previous == kStateUsbFailure || LoadShared(adapter->TxHeldAfterFailure) != 0) {
    // A transfer that failed before the pipes are reset is mended by the
    // reset; a pipe reset the device refused mends nothing.
    StoreShared(adapter->BulkFailedDuringRestart, ResetBulkPipes(adapter) == kOk ? 0 : 1);
  }
  // Enabling the restarted controller clears the all-multicast bit and the
  // broadcast and promiscuous bits; the filter NDIS set stays in force.
  const UCHAR all_multicast = adapter->RxControl0 & kRxControl0AllMulticast;
  StartController(adapter);
  ZeroStatistics(adapter);
  RestorePacketFilter(adapter, all_multicast);
  WaitFilterWriteEnded(adapter);

  StoreShared(adapter->LinkPollBusy, 0);
  // A pipe that may still be halted leaves the adapter failed: the next hang
  // check resets it again rather than reading behind the halt for ever.
  StoreShared(adapter->AdapterState, ExchangeShared(adapter->BulkFailedDuringRestart, 0) != 0
                                         ? kStateUsbFailure
                                         : kStateRunning);
  // A read or a poll that ended while the state was 0 started nothing; start
  // them again.
  RestartReception(adapter);
  StartLinkPollTimer(adapter, kLinkPollIntervalMs);
}

void NTAPI ResetWorker(PNDIS_WORK_ITEM work_item, PVOID context) {
  UNREFERENCED_PARAMETER(work_item);
  Adapter* adapter = static_cast<Adapter*>(context);
  NDIS_HANDLE handle = adapter->MiniportAdapterHandle;
  RestartAdapter(adapter);
  InterlockedExchange(&adapter->ResetInProgress, 0);
  NdisMResetComplete(handle, NDIS_STATUS_SUCCESS, FALSE);
}

}  // namespace

void NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  // A deferred reset still running owns the controller.
  while (InterlockedCompareExchange(&adapter->ResetInProgress, 0, 0) != 0)
    SleepMicroseconds(kDrainDelayUs);

  if (LoadShared(adapter->AdapterState) != kStateStopped) {
    StopAdapter(adapter, 0);
  } else {
    // The system shutdown stopped the device and may have stopped waiting
    // for the bus: nothing is freed before every transfer is back.
    DrainTransfers(adapter, 0);
    QuiesceTimers(adapter);
  }
  NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
  NdisFreeSpinLock(&adapter->TxLock);
  NdisFreeSpinLock(&adapter->RxLock);
  ReleaseAllResources(adapter);
}

// The system shutdown handler: stops the device without freeing anything,
// and never waits for the bus without bound.
void NTAPI MiniportShutdown(PVOID ShutdownContext) {
  Adapter* adapter = static_cast<Adapter*>(ShutdownContext);
  if (LoadShared(adapter->AdapterState) == kStateStopped) return;
  StopAdapter(adapter, kShutdownDrainRounds);
}

ULONG StopDevice(Adapter* adapter) {
  StopAdapter(adapter, 0);
  return kOk;
}

// A failed bulk transfer stopped the data path; only a reset brings it back.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  if (InterlockedCompareExchange(&adapter->ResetInProgress, 0, 0) != 0) return FALSE;
  // A bulk-out transfer the device never takes holds every later frame; it
  // is a failure like one that ends in error, and the reset's pipe abort
  // ends it.
  if (TxStalled(adapter)) {
    CompareExchangeShared(adapter->AdapterState, kStateRunning, kStateUsbFailure);
  }
  // A bulk-out failure during a reset leaves the state alone but holds the
  // transmit queue: that too needs the reset.
  return LoadShared(adapter->AdapterState) == kStateUsbFailure ||
                 LoadShared(adapter->TxHeldAfterFailure) != 0
             ? TRUE
             : FALSE;
}

NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  // Station address and multicast settings survive the restart.
  *AddressingReset = FALSE;

  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    InterlockedExchange(&adapter->ResetInProgress, 1);
    RestartAdapter(adapter);
    InterlockedExchange(&adapter->ResetInProgress, 0);
    return NDIS_STATUS_SUCCESS;
  }

  // The restart waits on the device: carry it out at PASSIVE_LEVEL and
  // complete the reset from there.
  if (InterlockedExchange(&adapter->ResetInProgress, 1) != 0) return NDIS_STATUS_RESET_IN_PROGRESS;
  // NDIS calls work-item routines with the kernel's stdcall convention, which
  // some headers leave out of NDIS_PROC; the routine is declared NTAPI.
  NdisInitializeWorkItem(&adapter->ResetWorkItem, reinterpret_cast<NDIS_PROC>(ResetWorker),
                         adapter);
  if (NdisScheduleWorkItem(&adapter->ResetWorkItem) != NDIS_STATUS_SUCCESS) {
    InterlockedExchange(&adapter->ResetInProgress, 0);
    return NDIS_STATUS_FAILURE;
  }
  return NDIS_STATUS_PENDING;
}

}  // namespace usbeth
