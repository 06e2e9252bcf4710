// IRQL, processor interrupts, spin locks and interlocked operations.
#include <sched.h>

#include <cstdio>
#include <string>

#include "nt/locks.h"
#include "sim/kernel.h"

namespace host {
namespace {

std::string address(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

ULONG_PTR current_token() {
  return reinterpret_cast<ULONG_PTR>(&current_context());
}

bool threaded() {
  Kernel* k = Kernel::current();
  return k && k->options().mode == Mode::Threaded;
}

}  // namespace

void lock_word_acquire(PKSPIN_LOCK lock, const char* what) {
  if (!lock) bug_check("SPINLOCK_NOT_OWNED", std::string(what) + " on a null spin lock");
  ULONG_PTR me = current_token();
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    if (expected == me) {
      bug_check("SPINLOCK_ALREADY_OWNED", std::string(what) + ": spin lock " + address(lock) +
                                              " is already held by this context");
    }
    if (!threaded()) {
      bug_check("DEADLOCK", std::string(what) + ": spin lock " + address(lock) +
                                " is held by another context that cannot run");
    }
    sched_yield();
  }
  ++current_context().held_spin_locks;
}

void lock_word_release(PKSPIN_LOCK lock, const char* what) {
  ULONG_PTR me = current_token();
  ULONG_PTR owner = lock ? __atomic_load_n(lock, __ATOMIC_RELAXED) : 0;
  if (owner != me) {
    bug_check("SPINLOCK_NOT_OWNED", std::string(what) + ": spin lock " + address(lock) +
                                        (owner ? " is held by another context" : " is not held"));
  }
  Context& c = current_context();
  if (c.held_spin_locks == 0) {
    bug_check("SPINLOCK_NOT_OWNED", std::string(what) + ": no spin lock is counted as held");
  }
  --c.held_spin_locks;
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

bool lock_word_held_by_current(PKSPIN_LOCK lock) {
  return lock && __atomic_load_n(lock, __ATOMIC_RELAXED) == current_token();
}

}  // namespace host

using host::bug_check;
using host::current_context;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
  return current_context().irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  host::Context& c = current_context();
  KIRQL old = c.irql;
  if (NewIrql < old) {
    bug_check("IRQL_NOT_GREATER_OR_EQUAL", "KfRaiseIrql to " + std::to_string(NewIrql) +
                                               " from higher IRQL " + std::to_string(old));
  }
  c.irql = NewIrql;
  return old;
}

void FASTCALL KfLowerIrql(KIRQL NewIrql) {
  host::Context& c = current_context();
  if (NewIrql > c.irql) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "KfLowerIrql to " + std::to_string(NewIrql) +
                                            " from lower IRQL " + std::to_string(c.irql));
  }
  if (NewIrql < DISPATCH_LEVEL && c.held_spin_locks) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IRQL lowered to " + std::to_string(NewIrql) +
                                            " while holding " + std::to_string(c.held_spin_locks) +
                                            " spin lock(s)");
  }
  c.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  return KfRaiseIrql(DISPATCH_LEVEL);
}

void _disable(void) {
  current_context().interrupts_disabled = 1;
}
void _enable(void) {
  current_context().interrupts_disabled = 0;
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "KfAcquireSpinLock above DISPATCH_LEVEL");
  }
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  host::lock_word_acquire(SpinLock, "KfAcquireSpinLock");
  return old;
}

void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL",
              "KfReleaseSpinLock at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  host::lock_word_release(SpinLock, "KfReleaseSpinLock");
  KfLowerIrql(NewIrql);
}

void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_GREATER_OR_EQUAL",
              "KefAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  host::lock_word_acquire(SpinLock, "KefAcquireSpinLockAtDpcLevel");
}

void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_GREATER_OR_EQUAL",
              "KefReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  host::lock_word_release(SpinLock, "KefReleaseSpinLockFromDpcLevel");
}

LONG NTAPI InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

}  // extern "C"

namespace {

// The interlocked list calls run with interrupts off and the lock held, so
// they may be called at any IRQL up to DISPATCH_LEVEL; the IRQL is unchanged.
template <typename Fn>
PLIST_ENTRY with_list_lock(PKSPIN_LOCK lock, const char* what, Fn fn) {
  host::Context& c = current_context();
  if (c.irql > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", std::string(what) + " above DISPATCH_LEVEL");
  }
  int interrupts = c.interrupts_disabled;
  c.interrupts_disabled = 1;
  host::lock_word_acquire(lock, what);
  PLIST_ENTRY result = fn();
  host::lock_word_release(lock, what);
  c.interrupts_disabled = interrupts;
  return result;
}

PLIST_ENTRY first_or_null(PLIST_ENTRY head) {
  return head->Flink == head ? nullptr : head->Flink;
}

}  // namespace

extern "C" {

PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
  return with_list_lock(Lock, "ExfInterlockedInsertHeadList", [&] {
    PLIST_ENTRY old_first = first_or_null(ListHead);
    InsertHeadList(ListHead, ListEntry);
    return old_first;
  });
}

PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
  return with_list_lock(Lock, "ExfInterlockedInsertTailList", [&] {
    PLIST_ENTRY old_last = ListHead->Blink == ListHead ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return old_last;
  });
}

PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  return with_list_lock(Lock, "ExfInterlockedRemoveHeadList", [&] {
    if (IsListEmpty(ListHead)) return static_cast<PLIST_ENTRY>(nullptr);
    return RemoveHeadList(ListHead);
  });
}

}  // extern "C"

// KeQueryPerformanceCounter, as the HAL provides it: callable at any IRQL, a
// monotonic count of ticks whose frequency is fixed for the life of the
// system and, when asked for, stored through the optional argument. The host
// counts in 100 ns ticks (10 MHz, as current systems report) of the kernel's
// virtual clock, so a deterministic run reads the same values every time.
extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(host::Kernel::get().scheduler().now() / 100);
  return counter;
}
