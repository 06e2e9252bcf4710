// Halt, shutdown and reset of an adapter.
//
// The stop sequence ends every source of work before halt releases the
// adapter's memory: the link monitor stops and powers the PHYs down, the
// state moves to stopped (from then on no completion or timer routine starts
// new work or arms a timer), the bulk pipes are aborted, and after the
// one-second settle the timers are cancelled again and the stop waits until
// no transfer of any kind is outstanding.
//
// A reset restarts the controller in place at PASSIVE_LEVEL. Called above
// that level, it is carried out by a work item and completed to NDIS
// afterwards. It keeps clear of a running link chain, which shares the
// register buffers with it, and leaves reception and the link poll running.

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
constexpr ULONG kPacketFilterWaitRounds = 10000;

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
  if (adapter->TxIrpsOutstanding != 0) return false;
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
// end, and register requests the device never answers, are cancelled again
// every second until they have completed: the adapter's memory must not go
// while the bus driver still holds any of it.
void DrainTransfers(Adapter* adapter) {
  WaitPacketFilterIdle(adapter, kPacketFilterWaitRounds);
  ULONG rounds = 0;
  while (!TransfersIdle(adapter)) {
    SleepMicroseconds(kDrainDelayUs);
    if (++rounds % kDrainRoundsPerCancel == 0) {
      CancelAsyncRegisterRequests(adapter);
      AbortAndResetPipes(adapter);
    }
  }
}

// Waits until no link chain owns the register machinery, cancelling a
// request that never completes so that its chain can end.
void WaitLinkChainIdle(Adapter* adapter) {
  if (WaitLinkPollIdle(adapter, kLinkChainWaitRounds) == kOk) return;
  CancelAsyncRegisterRequests(adapter);
  WaitLinkPollIdle(adapter, kLinkChainWaitRounds);
}

// The reset proper, at PASSIVE_LEVEL.
void RestartAdapter(Adapter* adapter) {
  BeginDeviceSequence(adapter);
  // State 0 keeps a link poll from starting a chain and a completing read
  // from starting another.
  StoreShared(adapter->AdapterState, kStateInitializing);
  WaitLinkChainIdle(adapter);
  WaitPacketFilterIdle(adapter, kPacketFilterWaitRounds);
  StoreShared(adapter->LinkPollBusy, 1);

  StartController(adapter);
  NdisZeroMemory(&adapter->Statistics, sizeof(adapter->Statistics));

  StoreShared(adapter->LinkPollBusy, 0);
  StoreShared(adapter->AdapterState, kStateRunning);
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
  while (adapter->ResetInProgress != 0)
    SleepMicroseconds(kDrainDelayUs);

  if (LoadShared(adapter->AdapterState) != kStateStopped) MiniportShutdown(adapter);
  NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
  NdisFreeSpinLock(&adapter->TxLock);
  NdisFreeSpinLock(&adapter->RxLock);
  ReleaseAllResources(adapter);
}

void NTAPI MiniportShutdown(PVOID ShutdownContext) {
  Adapter* adapter = static_cast<Adapter*>(ShutdownContext);
  CancelTimers(adapter);
  StopDevice(adapter);
}

ULONG StopDevice(Adapter* adapter) {
  BeginDeviceSequence(adapter);
  PowerDownPhys(adapter);
  StoreShared(adapter->AdapterState, kStateStopped);

  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  urb.UrbControlFeatureRequest.Hdr.Length = kFeatureUrbLength;
  urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  urb.UrbControlFeatureRequest.UrbLink = nullptr;
  urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
  urb.UrbControlFeatureRequest.Index = 0;
  SubmitUrbSync(adapter, &urb);

  AbortAndResetPipes(adapter);
  for (ULONG i = 0; i < kSettleRounds; ++i)
    SleepMicroseconds(kSettleDelayUs);

  // A completion or timer routine that ran before the state changed may have
  // armed a timer again; nothing arms one from here on.
  CancelTimers(adapter);
  DrainTransfers(adapter);
  CancelTimers(adapter);
  return kOk;
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
