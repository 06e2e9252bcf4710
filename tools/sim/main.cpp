// usbeth-sim: runs the driver under the host kernel against the adapter's
// hardware model, from a scenario file or the embedded default, and prints
// what happened; `usbeth-sim bridge` connects a live adapter to Linux TAPs.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "bridge.h"
#include "event_log.h"
#include "scenario.h"
#include "simulation.h"
#include "svg_timeline.h"

namespace {

using namespace usbeth::sim;

struct RunArgs {
  std::string scenario_path;
  std::string usb_pcap, wire_pcap, events, svg;
  std::optional<uint64_t> seed;
  bool quiet = false;
};

int RunScenario(const RunArgs& args) {
  Scenario scenario;
  try {
    scenario = args.scenario_path.empty()
                   ? parse_scenario(default_scenario_text(), "default scenario")
                   : load_scenario(args.scenario_path);
  } catch (const ScenarioError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitBadInput;
  }
  std::ofstream events;
  if (!args.events.empty()) {
    events.open(args.events);
    if (!events) {
      std::fprintf(stderr, "%s: cannot be written\n", args.events.c_str());
      return kExitBadInput;
    }
  }
  SimOptions options;
  options.usb_pcap = args.usb_pcap;
  options.wire_pcap = args.wire_pcap;
  options.seed = args.seed;
  options.on_record = [&](const Record& r) {
    if (events) events << to_json_line(r) << "\n";
    if (args.quiet && r.kind != "bug_check" && r.kind != "corrupt") return;
    std::string line = timeline_line(r);
    if (!line.empty()) std::printf("%s\n", line.c_str());
  };
  if (!args.quiet) {
    std::printf("usbeth-sim: %s\n",
                args.scenario_path.empty() ? "the default scenario" : args.scenario_path.c_str());
    std::printf("    time     what\n");
  }
  SimResult result = run_simulation(scenario, options);
  for (const Record& r : result.records) {
    if (r.kind != "summary") continue;
    std::printf("\n");
    for (const std::string& line : summary_lines(r))
      std::printf("%s\n", line.c_str());
  }
  if (!args.svg.empty()) {
    SvgInfo info;
    info.title = "usbeth-sim: " + scenario.name;
    info.duration_ns = scenario.duration_ms * 1'000'000;
    for (const PhySetting& p : scenario.phys)
      info.phys.push_back({p.address, p.id});
    std::ofstream svg(args.svg);
    if (!svg) {
      std::fprintf(stderr, "%s: cannot be written\n", args.svg.c_str());
      return kExitBadInput;
    }
    svg << render_svg(result.records, info);
  }
  if (!args.quiet) {
    if (!args.usb_pcap.empty()) std::printf("usbmon capture: %s\n", args.usb_pcap.c_str());
    if (!args.wire_pcap.empty()) {
      std::printf("wire capture: %s (%llu frames)\n", args.wire_pcap.c_str(),
                  static_cast<unsigned long long>(result.wire_capture_frames));
    }
    if (!args.events.empty()) std::printf("event log: %s\n", args.events.c_str());
    if (!args.svg.empty()) std::printf("timeline picture: %s\n", args.svg.c_str());
  }
  if (result.exit_code != kExitClean) {
    std::fprintf(stderr, "usbeth-sim: %s\n", result.failure.c_str());
  }
  return result.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "usbeth-sim: runs the usbeth driver under the host kernel against a model of the "
      "adapter.\nWithout a scenario file it runs the embedded default scenario."};
  RunArgs run;
  app.add_option("scenario", run.scenario_path, "scenario file (TOML)");
  app.add_option("--usb-pcap", run.usb_pcap, "write every URB as a usbmon pcap (link type 220)");
  app.add_option("--wire-pcap", run.wire_pcap, "write the wire's frames as an Ethernet pcap");
  app.add_option("--events", run.events, "write one JSON object per event (JSON lines)");
  app.add_option("--svg", run.svg, "draw the timeline as an SVG picture");
  app.add_option("--seed", run.seed, "seed for every free choice (overrides the scenario's)");
  app.add_flag("--quiet,-q", run.quiet, "print only the summary and failures");
  bool debug_prints = false;
  app.add_flag("--debug-prints", debug_prints,
               "echo the driver's debug prints (DbgPrint) to stderr; the same as setting "
               "USBETH_DBGPRINT=1 in the environment");

  BridgeOptions bridge;
  CLI::App* sub = app.add_subcommand(
      "bridge",
      "connect a live adapter to Linux TAP interfaces: its NDIS side to one, the far end of "
      "its wire to the other");
  sub->add_option("--tap-ndis", bridge.tap_ndis, "TAP interface for the NDIS side")->required();
  sub->add_option("--tap-wire", bridge.tap_wire, "TAP interface for the wire's far end")
      ->required();
  sub->add_option("--bus", bridge.bus, "USB bus timing: full, high or unthrottled")
      ->check(CLI::IsMember({"full", "high", "unthrottled"}));
  sub->add_flag("--direct", bridge.direct,
                "forward frames TAP to TAP without the driver (for comparison)");
  sub->add_option("--seconds", bridge.seconds, "stop after this many seconds (0: until a signal)");
  sub->add_flag("--verbose,-v", bridge.verbose, "print link changes and counters each second");
  CLI11_PARSE(app, argc, argv);
  if (debug_prints) setenv("USBETH_DBGPRINT", "1", 1);

  if (*sub) return run_bridge(bridge);
  return RunScenario(run);
}
