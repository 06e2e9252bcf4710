// The threaded stress: one adapter under the threaded scheduler, senders
// above it, the link partner sending from the wire, and a control thread
// resetting, reconfiguring, querying and pulling the cable, with every frame
// checked where it arrives and every loss accounted for.
#pragma once

#include <cstdint>

namespace usbeth::stress {

struct StressOptions {
  uint64_t frames = 20000;  // stop after this many frames arrived, both ways (0: no limit)
  unsigned seconds = 0;     // stop after this much real time (0: no limit)
  unsigned cpus = 4;        // simulated processors
  unsigned senders = 3;     // threads sending through the protocol
  uint64_t seed = 1;
  double time_scale = 20.0;        // virtual nanoseconds per real nanosecond
  unsigned watchdog_seconds = 10;  // real time without progress that fails the run
  double progress_seconds = 5.0;   // between progress lines (0: none)
  bool control = true;             // the control thread's resets, sets, queries, pulls
  bool partner = true;             // the link partner sends
  // Every n-th partner frame read out holds the processor that read it for
  // 50 ms of real time before its read may end, as a preempted processor
  // would (0: never); the read then often ends inside a reset begun later.
  unsigned hold_reads = 0;
};

// Runs the stress; returns the process exit status: 0 when every check held,
// 1 when a check failed. A run that stops making progress exits the process
// with status 3 from the watchdog.
int RunStress(const StressOptions& options);

}  // namespace usbeth::stress
