// The lock word behind KSPIN_LOCK, shared by the spin lock calls, the
// interlocked list operations and the cancel spin lock. The word holds an
// owner token (the owning context), zero when free.
//
// Bug check codes:
//   SPINLOCK_ALREADY_OWNED   acquiring a lock the same context holds
//   DEADLOCK                 (deterministic mode) acquiring a lock another
//                            context holds: with one thread it can never be freed
//   SPINLOCK_NOT_OWNED       releasing a lock this context does not hold
//   IRQL_NOT_LESS_OR_EQUAL   acquiring above DISPATCH_LEVEL, lowering IRQL
//                            below DISPATCH_LEVEL with a spin lock held,
//                            KfLowerIrql to a higher level
//   IRQL_NOT_GREATER_OR_EQUAL  KfRaiseIrql to a lower level, the AtDpcLevel
//                            calls below DISPATCH_LEVEL
#pragma once

#include "wdk_nt.h"

namespace host {

// Takes the word (spins in threaded mode) and counts it as held by this
// context. IRQL is the caller's business.
void lock_word_acquire(PKSPIN_LOCK lock, const char* what);
void lock_word_release(PKSPIN_LOCK lock, const char* what);
bool lock_word_held_by_current(PKSPIN_LOCK lock);

}  // namespace host
