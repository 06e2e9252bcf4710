// Miniport timers: one-shot (or periodic) expiries queued on the scheduler,
// their routine run at DISPATCH_LEVEL with the context given at
// initialization. The pool learns of every timer so that freeing the memory
// of one that is armed or running bug checks.
#include "ndis/state.h"
#include "nt/pool.h"

using namespace host;
using namespace host::ndis;

namespace {

// The record of an initialized timer; bug check for a timer object the
// library never initialized (or whose memory was since reused).
TimerRecord* lookup(State& s, PNDIS_MINIPORT_TIMER timer, const char* what) {
  if (!timer) bug_check("TIMER_NOT_INITIALIZED", std::string(what) + " of a null timer");
  const std::unique_ptr<TimerRecord>* record = s.timers.find(timer);
  if (!record || timer->Timer.HostMagic != kTimerMagic ||
      timer->Timer.HostSerial != (*record)->serial || timer->Timer.HostRecord != record->get()) {
    bug_check("TIMER_NOT_INITIALIZED",
              std::string(what) + " of " + hex(uintptr_t(timer)) +
                  ", which NdisMInitializeTimer has not initialized (or was overwritten)");
  }
  return record->get();
}

void fire(PNDIS_MINIPORT_TIMER timer, uint64_t arming);

// Which initialization of a timer (its serial) and which setting of it (the
// low half of its generation) an expiry belongs to, in one word: the expiry's
// routine then holds two words, which std::function keeps without allocating,
// and a driver sets a timer at nearly every frame. A setting is told from
// the one 2^32 settings before it, which no timer sees while one expiry waits.
uint64_t arming_of(const TimerRecord& t) {
  return (uint64_t{t.serial} & 0xFFFFFFFFu) << 32 | (t.generation & 0xFFFFFFFFu);
}

void arm(State& s, TimerRecord* t, UINT milliseconds) {
  Scheduler& scheduler = Kernel::get().scheduler();
  if (t->pending) scheduler.cancel(t->event);
  ++t->generation;
  PNDIS_MINIPORT_TIMER timer = t->timer;
  const uint64_t arming = arming_of(*t);
  t->pending = true;
  t->event = scheduler.schedule_after(
      Nanoseconds(milliseconds) * kMillisecond, RunLevel::Dispatch,
      [timer, arming] { fire(timer, arming); }, "NDIS miniport timer");
}

void fire(PNDIS_MINIPORT_TIMER timer, uint64_t arming) {
  if (!library_exists()) return;
  State& s = state();
  PNDIS_TIMER_FUNCTION routine;
  PVOID context;
  AdapterRecord* adapter;
  ULONG serial;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    const std::unique_ptr<TimerRecord>* record = s.timers.find(timer);
    if (!record || arming_of(**record) != arming) {
      return;  // set again or cancelled after this expiry was queued
    }
    TimerRecord* t = record->get();
    serial = t->serial;
    t->pending = false;
    if (t->period_ms) arm(s, t, t->period_ms);
    ++t->running;
    ++t->expiries;
    routine = t->routine;
    context = t->context;
    adapter = t->adapter;
  }
  struct Done {
    State& s;
    PNDIS_MINIPORT_TIMER timer;
    ULONG serial;
    ~Done() {
      std::lock_guard<host::HostMutex> lock(s.mutex);
      const std::unique_ptr<TimerRecord>* record = s.timers.find(timer);
      if (record && (*record)->serial == serial && (*record)->running) --(*record)->running;
    }
  } done{s, timer, serial};
  call_driver(DISPATCH_LEVEL, "NDIS timer routine", adapter,
              [&] { routine(&timer->Timer, context, nullptr, nullptr); });
  after_timer_routine(adapter);
}

}  // namespace

extern "C" VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer,
                                           NDIS_HANDLE MiniportAdapterHandle,
                                           PNDIS_TIMER_FUNCTION TimerFunction,
                                           PVOID FunctionContext) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisMInitializeTimer");
  if (!Timer || !TimerFunction) {
    bug_check("NULL_POINTER", "NdisMInitializeTimer without a timer or a routine");
  }
  AdapterRecord* adapter = adapter_from_handle(MiniportAdapterHandle, "NdisMInitializeTimer");
  State& s = state();
  ULONG serial;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    const std::unique_ptr<TimerRecord>* old = s.timers.find(Timer);
    if (old && timer_armed_or_running(**old)) {
      bug_check(
          "TIMER_REINITIALIZED_WHILE_ARMED",
          "NdisMInitializeTimer of " + hex(uintptr_t(Timer)) + ", which is still armed or running");
    }
    auto record = std::make_unique<TimerRecord>();
    record->timer = Timer;
    record->serial = serial = ++s.timer_serial;
    record->routine = TimerFunction;
    record->context = FunctionContext;
    record->adapter = adapter;
    Timer->Timer.HostMagic = kTimerMagic;
    Timer->Timer.HostSerial = serial;
    Timer->Timer.HostRecord = record.get();
    Timer->MiniportTimerFunction = TimerFunction;
    Timer->MiniportTimerContext = FunctionContext;
    Timer->Miniport = static_cast<PNDIS_MINIPORT_BLOCK>(MiniportAdapterHandle);
    Timer->NextDeferredTimer = nullptr;
    s.timers[Timer] = std::move(record);
  }
  register_timer_object(
      Timer,
      [Timer, serial] {
        if (!library_exists()) return false;
        State& st = state();
        std::lock_guard<host::HostMutex> lock(st.mutex);
        const std::unique_ptr<TimerRecord>* record = st.timers.find(Timer);
        return record && (*record)->serial == serial && timer_armed_or_running(**record);
      },
      "an NDIS miniport timer");
}

extern "C" VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisMSetTimer");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  TimerRecord* t = lookup(s, Timer, "NdisMSetTimer");
  if (t->adapter->state == Miniport::State::Halted ||
      t->adapter->state == Miniport::State::InitializeFailed) {
    bug_check("TIMER_ARMED_AFTER_HALT",
              "NdisMSetTimer of " + hex(uintptr_t(Timer)) + " after its adapter was halted");
  }
  t->period_ms = 0;
  arm(s, t, MillisecondsToDelay);
}

extern "C" VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay) {
  // A miniport timer starts with the NDIS timer, so the driver may set it
  // through this call as well.
  NdisMSetTimer(reinterpret_cast<PNDIS_MINIPORT_TIMER>(Timer), MillisecondsToDelay);
}

extern "C" VOID NTAPI NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisMSetPeriodicTimer");
  if (MillisecondPeriod == 0) {
    bug_check("INVALID_PARAMETER", "NdisMSetPeriodicTimer with a period of 0 ms");
  }
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  TimerRecord* t = lookup(s, Timer, "NdisMSetPeriodicTimer");
  t->period_ms = MillisecondPeriod;
  arm(s, t, MillisecondPeriod);
}

extern "C" VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisMCancelTimer");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  TimerRecord* t = lookup(s, Timer, "NdisMCancelTimer");
  BOOLEAN cancelled = FALSE;
  t->period_ms = 0;
  // An expiry already taken off the queue (by another processor) still runs,
  // as a queued DPC does on the platform: the timer was not cancelled then.
  if (t->pending && Kernel::get().scheduler().cancel(t->event)) {
    cancelled = TRUE;
    ++t->generation;
    t->pending = false;
  }
  if (TimerCancelled) *TimerCancelled = cancelled;
}

extern "C" VOID NTAPI NdisCancelTimer(PNDIS_TIMER Timer, PBOOLEAN TimerCancelled) {
  NdisMCancelTimer(reinterpret_cast<PNDIS_MINIPORT_TIMER>(Timer), TimerCancelled);
}
