// Seeded random runs: scenarios generated from a seed, hour after hour of
// virtual time, with the invariants of every run checked all the way; a
// failure is written out as the smallest scenario file found that still
// shows it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "scenario.h"

namespace usbeth::sim {

struct SoakOptions {
  double hours = 1;
  uint64_t seed = 1;
  // 0 no faults; 1 device faults and lying receive transfers; 2 and
  // allocation failures; 3 and requests that never complete and the device
  // pulled out.
  int faults = 1;
  std::optional<Scenario> base;  // its adapters (board, registry) and bus
  std::string out_dir = ".";     // where failing scenarios are written (made if missing)
  uint64_t episode_ms = 3'600'000;
  unsigned shrink_runs = 25;  // at most this many reruns to shrink a failure
  std::function<void(const std::string&)> print;
};

struct SoakReport {
  double simulated_hours = 0;
  uint64_t episodes = 0, events = 0, faults = 0, frames = 0;
  uint64_t failures = 0;
  std::vector<std::string> failure_files;  // each written and closed without error
  double real_seconds = 0;
  // Why nothing ran (out_dir cannot be made), or "" when the soak ran.
  std::string error;
};

// One episode's scenario, from the seed and the episode's number.
Scenario soak_episode(const SoakOptions& options, uint64_t episode);

SoakReport run_soak(const SoakOptions& options);

}  // namespace usbeth::sim
