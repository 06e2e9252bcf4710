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
#include "soak.h"
#include "svg_timeline.h"
#include "testbed/driver.h"

namespace {

using namespace usbeth::sim;

struct RunArgs {
  std::string scenario_path;
  std::string usb_pcap, wire_pcap, events, svg;
  std::optional<uint64_t> seed;
  bool quiet = false;
  bool every_second = false;
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
  options.check_continuously = args.every_second;
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
    if (scenario.adapters.size() == 1) {
      for (const PhySetting& p : scenario.adapter().phys)
        info.phys.push_back({p.address, p.id});
    } else {
      for (const AdapterSetting& a : scenario.adapters) {
        SvgAdapter svg_adapter{a.name, {}};
        for (const PhySetting& p : a.phys)
          svg_adapter.phys.push_back({p.address, p.id});
        info.adapters.push_back(svg_adapter);
      }
    }
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
    std::string image = host::driver_image_summary();
    if (!image.empty()) std::printf("driver: %s\n", image.c_str());
    if (!args.svg.empty()) std::printf("timeline picture: %s\n", args.svg.c_str());
  }
  if (result.exit_code != kExitClean) {
    if (result.failed.empty()) result.failed.push_back(result.failure);
    for (const std::string& line : result.failed) {
      // Expectations are located in the file already.
      if (line.rfind(scenario.source + ":", 0) == 0) {
        std::fprintf(stderr, "%s\n", line.c_str());
      } else {
        std::fprintf(stderr, "usbeth-sim: %s\n", line.c_str());
      }
    }
  }
  return result.exit_code;
}

struct SoakArgs {
  double hours = 1;
  uint64_t seed = 1;
  int faults = 1;
  std::string scenario_path;
  std::string out_dir = ".";
  uint64_t episode_minutes = 60;
};

int RunSoak(const SoakArgs& args) {
  SoakOptions o;
  o.hours = args.hours;
  o.seed = args.seed;
  o.faults = args.faults;
  o.out_dir = args.out_dir;
  o.episode_ms = args.episode_minutes * 60'000;
  if (!args.scenario_path.empty()) {
    try {
      o.base = load_scenario(args.scenario_path);
    } catch (const ScenarioError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return kExitBadInput;
    }
  }
  o.print = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  SoakReport r = run_soak(o);
  if (!r.error.empty()) {
    std::fprintf(stderr, "%s\n", r.error.c_str());
    return kExitBadInput;
  }
  std::printf(
      "soak: seed %llu, faults level %d: %.1f simulated hours in %.1f s of real time; %llu "
      "episodes, %llu events, %llu faults injected, %llu frames checked, %llu failures\n",
      static_cast<unsigned long long>(args.seed), args.faults, r.simulated_hours, r.real_seconds,
      static_cast<unsigned long long>(r.episodes), static_cast<unsigned long long>(r.events),
      static_cast<unsigned long long>(r.faults), static_cast<unsigned long long>(r.frames),
      static_cast<unsigned long long>(r.failures));
  for (const std::string& f : r.failure_files)
    std::printf("soak: replay with: usbeth-sim --check-every-second %s\n", f.c_str());
  return r.failures ? kExitInvariant : kExitClean;
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
  app.add_flag("--check-every-second", run.every_second,
               "check that every frame ended somewhere known each second of the run, as the "
               "soak does, rather than only at the halts");
  std::string driver_image;
  app.add_option("--driver", driver_image,
                 "run this usbeth.sys image instead of the linked driver, in scenario runs, the "
                 "soak and the bridge (32-bit build)");
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
  std::string bridge_wire = "link-rate";
  sub->add_option("--wire", bridge_wire,
                  "the wire: link-rate (frames take their time at the link's rate, both ways) or "
                  "unlimited")
      ->check(CLI::IsMember({"link-rate", "unlimited"}));
  sub->add_flag("--direct", bridge.direct,
                "forward frames TAP to TAP without the driver (for comparison)");
  bool bridge_no_offloads = false;
  sub->add_flag("--no-offloads", bridge_no_offloads,
                "the TAPs carry single frames only: no TCP segmentation or checksums left to "
                "the bridge, no segments joined on the way out");
  sub->add_option("--seconds", bridge.seconds, "stop after this many seconds (0: until a signal)");
  sub->add_flag("--verbose,-v", bridge.verbose, "print link changes and counters each second");
  std::vector<std::string> bridge_registry;
  sub->add_option("--registry", bridge_registry,
                  "a registry setting of the adapter, KEYWORD=VALUE with the value as the INF "
                  "gives it (hexadecimal), e.g. TxQueueDepth=4; may be repeated")
      ->each([](const std::string& kv) {
        if (kv.find('=') == std::string::npos || kv.front() == '=') {
          throw CLI::ValidationError("--registry", "'" + kv + "' is not KEYWORD=VALUE");
        }
      });
  SoakArgs soak;
  CLI::App* soak_cmd = app.add_subcommand(
      "soak",
      "seeded random runs: events of every kind generated from the seed, hour after hour of "
      "virtual time, invariants checked all the way; a failure is written out as a scenario");
  soak_cmd->add_option("--hours", soak.hours, "simulated hours in all (default 1)");
  soak_cmd->add_option("--seed", soak.seed, "seed of the random runs (default 1)");
  soak_cmd
      ->add_option("--faults", soak.faults,
                   "0 none; 1 device faults and lying receive transfers (default); 2 and "
                   "allocation failures; 3 and hung requests and the device pulled out")
      ->check(CLI::Range(0, 3));
  soak_cmd->add_option("--out", soak.out_dir, "where failing scenarios are written (default .)");
  soak_cmd
      ->add_option("--episode-minutes", soak.episode_minutes,
                   "virtual minutes per generated scenario (default 60)")
      ->check(CLI::Range(1, 24 * 60));
  soak_cmd->add_option("scenario", soak.scenario_path,
                       "scenario whose adapters (boards, registry) and bus the runs use");
  CLI11_PARSE(app, argc, argv);
  if (debug_prints) setenv("USBETH_DBGPRINT", "1", 1);
  if (!driver_image.empty()) {
    std::string error = host::use_driver_image(driver_image);
    if (!error.empty()) {
      std::fprintf(stderr, "usbeth-sim: %s\n", error.c_str());
      return kExitBadInput;
    }
  }

  bridge.wire_limit = bridge_wire == "link-rate";
  bridge.offloads = !bridge_no_offloads;
  for (const std::string& kv : bridge_registry) {
    const size_t eq = kv.find('=');
    bridge.registry.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
  }
  if (*sub) return run_bridge(bridge);
  if (*soak_cmd) return RunSoak(soak);
  return RunScenario(run);
}
