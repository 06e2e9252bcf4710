// Blocking helpers for host-side NT and NDIS calls (NdisMSleep, stalls).
#pragma once

#include "sim/kernel.h"

namespace host {

// Sleeps `duration` at PASSIVE_LEVEL: runs due events and moves the virtual
// clock (deterministic mode) or sleeps in real time (threaded mode). Bug check
// WAIT_AT_RAISED_IRQL above PASSIVE_LEVEL, with interrupts off or a lock held.
void passive_sleep(Nanoseconds duration, const char* what);

}  // namespace host
