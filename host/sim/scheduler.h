// The two scheduler implementations behind host::Scheduler. Only kernel.cpp
// creates them; everything else reaches the scheduler through Kernel::get().
#pragma once

#include <memory>

#include "sim/kernel.h"

namespace host {

std::unique_ptr<Scheduler> make_deterministic_scheduler(uint64_t seed);
std::unique_ptr<Scheduler> make_threaded_scheduler(uint64_t seed, unsigned processors,
                                                   double time_scale);

// Checks shared by every blocking entry point: PASSIVE_LEVEL, interrupts on,
// no spin lock held. `what` names the caller in the bug check message.
void check_may_block(const char* what);

// Runs one event routine at the level it asked for, on the current context,
// through run_at_irql (so IRQL and spin locks are verified on return).
void run_event_routine(RunLevel level, uint8_t chosen_irql, const char* what,
                       FunctionRef<void()> fn);

// Marks that a bug check was raised under the current kernel (leak checks at
// destruction are then skipped: the state after a bug check is not trustworthy).
void note_bug_check_raised();

}  // namespace host
