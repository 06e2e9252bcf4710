// Kernel events and waits on them. Blocking goes through the scheduler, so in
// deterministic mode a wait runs the due events and moves the virtual clock.
#include <limits>
#include <string>

#include "nt/wait.h"
#include "sim/kernel.h"
#include "sim/scheduler.h"
#include "wdk_nt.h"

namespace host {
namespace {

constexpr Nanoseconds kForever = std::numeric_limits<Nanoseconds>::max();
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

void check_event(PRKEVENT event, const char* what) {
  if (!event) bug_check("INVALID_DISPATCHER_OBJECT", std::string(what) + " on a null event");
  if (event->Header.Size != kEventSize ||
      (event->Header.Type != NotificationEvent && event->Header.Type != SynchronizationEvent)) {
    bug_check("INVALID_DISPATCHER_OBJECT",
              std::string(what) + " on an event that KeInitializeEvent never set up");
  }
}

LONG signal_state(PRKEVENT event) {
  return __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE);
}

// Satisfies a wait: a synchronization event is reset by the waiter it releases.
bool try_acquire(PRKEVENT event) {
  if (event->Header.Type == SynchronizationEvent) {
    LONG expected = 1;
    return __atomic_compare_exchange_n(&event->Header.SignalState, &expected, 0, false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  }
  return signal_state(event) != 0;
}

}  // namespace

void passive_sleep(Nanoseconds duration, const char* what) {
  check_may_block(what ? what : "sleep");
  Scheduler& s = Kernel::get().scheduler();
  Nanoseconds now = s.now();
  Nanoseconds deadline = duration > kForever - now ? kForever - 1 : now + duration;
  s.block_until([] { return false; }, deadline);
}

}  // namespace host

using host::bug_check;

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Absolute = 0;
  Event->Header.Size = host::kEventSize;
  Event->Header.Inserted = 0;
  InitializeListHead(&Event->Header.WaitListHead);
  __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  host::check_event(Event, "KeSetEvent");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL");
  }
  LONG old = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
  if (host::Kernel* k = host::Kernel::current()) k->scheduler().notify();
  return old;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
  host::check_event(Event, "KeClearEvent");
  __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  host::check_event(Event, "KeResetEvent");
  return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  host::check_event(Event, "KeReadStateEvent");
  return host::signal_state(Event);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  PRKEVENT event = static_cast<PRKEVENT>(Object);
  host::check_event(event, "KeWaitForSingleObject");
  bool poll = Timeout && Timeout->QuadPart == 0;
  if (poll) {
    // A zero timeout only tests the state; it is allowed up to DISPATCH_LEVEL.
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
      bug_check("WAIT_AT_RAISED_IRQL", "KeWaitForSingleObject poll above DISPATCH_LEVEL");
    }
    return host::try_acquire(event) ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  host::check_may_block("KeWaitForSingleObject");
  host::Scheduler& s = host::Kernel::get().scheduler();
  host::Nanoseconds deadline = host::kForever;
  if (Timeout && Timeout->QuadPart < 0) {
    // Relative, in 100 ns units.
    uint64_t delta = static_cast<uint64_t>(-(Timeout->QuadPart + 1)) + 1;
    host::Nanoseconds now = s.now();
    deadline = delta > (host::kForever - 1 - now) / 100 ? host::kForever - 1 : now + delta * 100;
  } else if (Timeout) {
    // Absolute, in 100 ns units of the host's system time (the clock's origin).
    uint64_t t = static_cast<uint64_t>(Timeout->QuadPart);
    deadline = t > (host::kForever - 1) / 100 ? host::kForever - 1 : t * 100;
  }
  bool signalled = s.block_until([event] { return host::try_acquire(event); }, deadline);
  return signalled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // extern "C"
