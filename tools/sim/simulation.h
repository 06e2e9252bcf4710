// One scenario run end to end in deterministic virtual time: the host kernel,
// the NDIS library with the driver loaded, each adapter's board behind its
// own USB bus driver, and a bound protocol per adapter that sends and checks
// traffic. Everything that happens comes back as records (event_log.h).
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
  std::string usb_pcap;          // usbmon capture of every URB, when not empty (first adapter)
  std::string wire_pcap;         // Ethernet capture of the wire, when not empty (first adapter)
  std::optional<uint64_t> seed;  // overrides the scenario's
  // Called with each record as it is made (the live timeline).
  std::function<void(const Record&)> on_record;
  // How often PHY link states and the active PHY are looked at.
  uint64_t sample_ns = 10'000'000;
  // Real seconds one step of the run (an event, a halt, a stretch of virtual
  // time) may take before the run is declared stuck: the process prints where
  // it was and exits with kExitBugCheck. 0: no limit.
  unsigned stuck_after_seconds = 120;
  // Invariants are checked while the run goes, not only at its end, and the
  // run stops at the first one broken (the soak).
  bool stop_at_invariant = false;
  // Invariants are checked while the run goes; the run goes on.
  bool check_continuously = false;
  // The run stops at the first failure of this kind (SimResult::Kind).
  std::string stop_at_kind;
  // A refused initialize is not a failure of the run (faults may cause it).
  bool initialize_may_fail = false;
  // false: NDIS never checks the adapters for a hang, so nothing resets them
  // after a failed transfer unless the scenario does (tests of the
  // recovery invariant).
  bool ndis_hang_check = true;
  // Called once per second of virtual time.
  std::function<void(uint64_t now_ns)> on_second;
  // Test frames' records kept per direction beyond those folded into counts
  // (the oldest settled ones are folded once twice as many are held).
  size_t frame_records_kept = 65536;
  // A sending stream whose protocol has no packet free waits for one, its
  // refused offers accounted in one go, rather than offering frame by frame.
  bool streams_wait = true;
};

// Exit codes of a run (and of the program).
constexpr int kExitClean = 0;
constexpr int kExitBadInput = 2;     // scenario file or output file unusable
constexpr int kExitBugCheck = 3;     // the verifier stopped the run
constexpr int kExitBadTraffic = 4;   // frames arrived damaged or twice, or init failed
constexpr int kExitExpectation = 5;  // an expectation of the scenario did not hold
constexpr int kExitInvariant = 6;    // an invariant of every run was broken

struct SimResult {
  std::vector<Record> records;
  int exit_code = kExitClean;
  std::string failure;  // one line when exit_code is not clean
  // Each expectation that did not hold, and each invariant broken, one line each.
  std::vector<std::string> failed;
  uint64_t failure_ns = 0;   // virtual time of the first failure
  std::string failure_kind;  // the invariant's or expectation's name
  // Each kind of failure once, the first of its kind: an invariant with what
  // broke it ("frames_accounted: received broadcast filtered_wrongly"), a
  // bug check with its code, "expectation", ...
  struct Kind {
    std::string kind;
    std::string failure;
    uint64_t at_ns = 0;
  };
  std::vector<Kind> kinds;
  uint64_t wire_capture_frames = 0;
  // Figures for the soak.
  uint64_t frames_checked = 0;
  size_t frame_records_peak = 0;  // the most test frames' records held at once, one direction
  uint64_t offers_waited = 0;     // refused offers of waiting streams, accounted in one go
  uint64_t faults_injected = 0;
  uint64_t end_ns = 0;
  uint64_t scheduler_steps = 0;  // events the scheduler ran (its cost in virtual time)
};

SimResult run_simulation(const Scenario& scenario, const SimOptions& options);

// The summary as lines for the terminal.
std::vector<std::string> summary_lines(const Record& summary);

}  // namespace usbeth::sim
