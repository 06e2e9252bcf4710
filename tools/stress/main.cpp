// usbeth-stress: the driver under the threaded scheduler with senders, the
// link partner and a control thread all at once; see stress.h.
#include <CLI/CLI.hpp>

#include "stress.h"

int main(int argc, char** argv) {
  usbeth::stress::StressOptions o;
  CLI::App app{
      "usbeth-stress: several processors, several senders, the link partner sending, and a "
      "control thread making resets, packet filter and multicast sets, queries and cable "
      "pulls at random (by seed). Every frame is checked where it arrives: intact, in order "
      "per sender, once; every loss must have a legitimate cause.\n"
      "Exit status: 0 every check held, 1 a check failed, 3 no progress (watchdog)."};
  app.add_option("--frames", o.frames,
                 "stop after this many frames arrived, both ways together (0: no limit)")
      ->capture_default_str();
  app.add_option("--seconds", o.seconds, "stop after this many seconds of real time (0: no limit)")
      ->capture_default_str();
  app.add_option("--cpus", o.cpus, "simulated processors")
      ->check(CLI::Range(1u, 64u))
      ->capture_default_str();
  app.add_option("--senders", o.senders, "threads sending through the protocol")
      ->check(CLI::Range(1u, 64u))
      ->capture_default_str();
  app.add_option("--seed", o.seed, "seed of every random choice")->capture_default_str();
  app.add_option("--time-scale", o.time_scale, "virtual time per real time")
      ->check(CLI::Range(0.1, 1000.0))
      ->capture_default_str();
  app.add_option("--watchdog", o.watchdog_seconds,
                 "seconds of real time without progress that fail the run")
      ->check(CLI::Range(1u, 3600u))
      ->capture_default_str();
  app.add_option("--progress", o.progress_seconds,
                 "seconds between progress lines (0: only the summary)")
      ->capture_default_str();
  bool no_control = false, no_partner = false;
  app.add_option("--hold-reads", o.hold_reads,
                 "every n-th partner frame read out holds its processor for 50 ms of real time, "
                 "as if preempted (0: never)")
      ->capture_default_str();
  app.add_flag("--no-control", no_control, "no resets, sets, queries or cable pulls");
  app.add_flag("--no-partner", no_partner, "the link partner sends nothing");
  CLI11_PARSE(app, argc, argv);
  o.control = !no_control;
  o.partner = !no_partner;
  if (o.frames == 0 && o.seconds == 0) {
    std::fprintf(stderr, "usbeth-stress: give --frames or --seconds (or both)\n");
    return 2;
  }
  return usbeth::stress::RunStress(o);
}
