// One scenario run end to end in deterministic virtual time: the host kernel,
// the NDIS library with the driver loaded, the board behind the USB bus
// driver, and a bound protocol that sends and checks traffic. Everything that
// happens comes back as records (event_log.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"
#include "scenario.h"

namespace usbeth::sim {

struct SimOptions {
  std::string usb_pcap;          // usbmon capture of every URB, when not empty
  std::string wire_pcap;         // Ethernet capture of the wire, when not empty
  std::optional<uint64_t> seed;  // overrides the scenario's
  // Called with each record as it is made (the live timeline).
  std::function<void(const Record&)> on_record;
  // How often PHY link states and the active PHY are looked at.
  uint64_t sample_ns = 10'000'000;
  // Real seconds one step of the run (an event, a halt, a stretch of virtual
  // time) may take before the run is declared stuck: the process prints where
  // it was and exits with kExitBugCheck. 0: no limit.
  unsigned stuck_after_seconds = 120;
};

// Exit codes of a run (and of the program).
constexpr int kExitClean = 0;
constexpr int kExitBadInput = 2;    // scenario file or output file unusable
constexpr int kExitBugCheck = 3;    // the verifier stopped the run
constexpr int kExitBadTraffic = 4;  // frames arrived damaged or twice, or init failed

struct SimResult {
  std::vector<Record> records;
  int exit_code = kExitClean;
  std::string failure;  // one line when exit_code is not clean
  uint64_t wire_capture_frames = 0;
};

SimResult run_simulation(const Scenario& scenario, const SimOptions& options);

// The summary as lines for the terminal.
std::vector<std::string> summary_lines(const Record& summary);

}  // namespace usbeth::sim
