// Arming the adapter's timers, and the bookkeeping that lets the stop path
// know when no timer routine runs and none can be armed again.
//
// Completions, timer routines and handlers arm timers on any processor. The
// stop path first makes the stopped state visible, then waits until no
// arming is in progress and no timer routine runs, and cancels every timer:
// an arming that began before the state changed has ended by then, and every
// later one sees the state and arms nothing. So the last cancellation is
// final and halt can free the memory that holds the timers.
#include "miniport/miniport.h"

namespace usbeth {

bool ArmAdapterTimer(Adapter* adapter, PNDIS_MINIPORT_TIMER timer, ULONG milliseconds) {
  InterlockedIncrement(&adapter->TimerArmsInProgress);
  // Sequentially consistent, paired with the exchange that stores the
  // stopped state before the stop path reads TimerArmsInProgress.
  const bool arm = __atomic_load_n(&adapter->AdapterState, __ATOMIC_SEQ_CST) != kStateStopped;
  if (arm) NdisMSetTimer(timer, milliseconds);
  InterlockedDecrement(&adapter->TimerArmsInProgress);
  return arm;
}

void EnterTimerRoutine(Adapter* adapter) {
  InterlockedIncrement(&adapter->TimerRoutinesRunning);
}

void LeaveTimerRoutine(Adapter* adapter) {
  InterlockedDecrement(&adapter->TimerRoutinesRunning);
}

bool TimersQuiet(Adapter* adapter) {
  return InterlockedCompareExchange(&adapter->TimerArmsInProgress, 0, 0) == 0 &&
         InterlockedCompareExchange(&adapter->TimerRoutinesRunning, 0, 0) == 0;
}

}  // namespace usbeth
