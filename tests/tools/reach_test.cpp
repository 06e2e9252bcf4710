// What the scenario language reaches, run end to end: device faults strike
// the requests they name and no others, allocation faults by kind, receive
// transfers as given, NDIS requests and their answers in the log, where
// every test frame ended, several adapters kept apart, expectations that
// fail a run naming their line, and the soak's generated runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "event_log.h"
#include "scenario.h"
#include "simulation.h"
#include "soak.h"
#include "svg_timeline.h"

namespace usbeth::sim {
namespace {

namespace fs = std::filesystem;

constexpr char kBoard[] = "[[board.phy]]\naddress = 1\nid = 0x00406210\n";

SimResult RunText(const std::string& text) {
  return run_simulation(parse_scenario(text, "test.toml"), {});
}

std::vector<Record> Kind(const SimResult& r, const std::string& kind) {
  return of_kind(r.records, kind);
}

const Record& Summary(const SimResult& r) {
  static Record none;
  for (auto it = r.records.rbegin(); it != r.records.rend(); ++it) {
    if (it->kind == "summary") return *it;
  }
  ADD_FAILURE() << "no summary";
  return none;
}

TEST(DeviceFaults, StrikeTheNthMatchingRequestOnly) {
  SimResult r =
      RunText(std::string("[simulation]\nduration_ms = 25000\n") + kBoard +
              "[[event]]\nat_ms = 5000\naction = \"device_fault\"\nrequest = "
              "\"vendor_read\"\nregister = 0x26\nfault = \"stall\"\nnth = 2\ncount = 3\n");
  auto hits = Kind(r, "fault_hit");
  ASSERT_EQ(hits.size(), 3u);
  for (const Record& h : hits) {
    EXPECT_EQ(h.integer("setup_request"), 0xF0);  // a register read
    EXPECT_EQ(h.integer("setup_index"), 0x26);    // of the MII data and control registers
    EXPECT_GE(h.time_ns, 5'000'000'000u);
  }
  EXPECT_EQ(r.faults_injected, 3u);
  EXPECT_TRUE(Kind(r, "bug_check").empty());
}

TEST(DeviceFaults, ProbabilityStrikesOnlyInsideItsWindow) {
  SimResult r =
      RunText(std::string("[simulation]\nduration_ms = 20000\n") + kBoard +
              "[[event]]\nat_ms = 4000\naction = \"traffic\"\ndirection = \"tx\"\n"
              "rate_pps = 100\nduration_ms = 12000\n"
              "[[event]]\nat_ms = 6000\naction = \"device_fault\"\nrequest = \"bulk_out\"\n"
              "fault = \"late\"\nprobability = 1.0\nwindow_ms = 2000\n");
  auto hits = Kind(r, "fault_hit");
  ASSERT_GT(hits.size(), 50u);
  for (const Record& h : hits) {
    EXPECT_GE(h.time_ns, 6'000'000'000u);
    EXPECT_LT(h.time_ns, 8'000'000'000u);
    EXPECT_EQ(h.integer("endpoint"), 0x02);
  }
}

TEST(DeviceFaults, AStalledEndpointStallsUntilTheDeviceIsReplugged) {
  SimResult r = RunText(
      std::string("[simulation]\nduration_ms = 30000\ncheck_invariants = false\n") + kBoard +
      "[[event]]\nat_ms = 4000\naction = \"traffic\"\ndirection = \"rx\"\n"
      "rate_pps = 50\nduration_ms = 4000\n"
      "[[event]]\nat_ms = 5000\naction = \"device_fault\"\nrequest = \"bulk_in\"\n"
      "fault = \"stall_endpoint\"\n"
      "[[event]]\nat_ms = 10000\naction = \"device_removed\"\n"
      "[[event]]\nat_ms = 11000\naction = \"halt\"\n"
      "[[event]]\nat_ms = 12000\naction = \"device_plugged\"\n"
      "[[event]]\nat_ms = 13000\naction = \"initialize\"\n"
      "[[event]]\nat_ms = 20000\naction = \"traffic\"\ndirection = \"rx\"\n"
      "rate_pps = 50\nduration_ms = 4000\n");
  ASSERT_EQ(Kind(r, "fault_hit").size(), 1u);
  auto inits = Kind(r, "initialize");
  ASSERT_EQ(inits.size(), 2u);
  EXPECT_EQ(inits[1].integer("status"), 0);
  // The second run of the adapter receives everything.
  EXPECT_EQ(Summary(r).integer("rx_indicated_since_reset"), 200);
  ASSERT_EQ(Kind(r, "device_removed").size(), 1u);
  ASSERT_EQ(Kind(r, "device_plugged").size(), 1u);
}

TEST(HostFaults, FailAllocationsOfTheirKindAndCountThem) {
  SimResult r =
      RunText(std::string("[simulation]\nduration_ms = 20000\n") + kBoard +
              "[[event]]\nat_ms = 4000\naction = \"traffic\"\ndirection = \"both\"\n"
              "rate_pps = 100\nduration_ms = 10000\n"
              "[[event]]\nat_ms = 5000\naction = \"host_fault\"\nkind = \"irp\"\n"
              "probability = 1.0\nwindow_ms = 100\n"
              "[[event]]\nat_ms = 8000\naction = \"host_fault\"\nkind = \"urb\"\nnth = 1\n"
              "[[event]]\nat_ms = 9000\naction = \"host_fault\"\nkind = \"work_item\"\n");
  std::map<std::string, int64_t> failures;
  for (const Record& e : Kind(r, "host_fault_end"))
    failures[e.text("alloc")] += e.integer("failures");
  EXPECT_GT(failures["irp"], 5);  // every IRP for a tenth of a second
  EXPECT_LE(failures["urb"], 1);
  auto armed = Kind(r, "host_fault");
  ASSERT_EQ(armed.size(), 3u);
  EXPECT_NE(armed[2].text("error"), "");  // work items cannot fail in this host
  EXPECT_TRUE(Kind(r, "bug_check").empty());
}

TEST(ReceiveTransfers, GoToTheDriverAsGiven) {
  SimResult r =
      RunText(std::string("[simulation]\nduration_ms = 12000\n") + kBoard +
              "[[event]]\nat_ms = 5000\naction = \"rx_transfer\"\nlength = 68\ncount = 4\n"
              "[[event]]\nat_ms = 5100\naction = \"rx_transfer\"\nlength = 68\n"
              "status = 0x08\n"
              "[[event]]\nat_ms = 5200\naction = \"rx_transfer\"\nlength = 0\n");
  const Record& s = Summary(r);
  EXPECT_EQ(s.integer("injected_transfers"), 6);
  EXPECT_EQ(s.integer("injected_indicated"), 4);
  EXPECT_EQ(s.integer("OID_GEN_RCV_CRC_ERROR"), 1);
  auto rx = Kind(r, "rx_transfer");
  ASSERT_EQ(rx.size(), 3u);
  EXPECT_EQ(rx[1].integer("status"), 8);
}

TEST(NdisRequests, AnswersAndStatusesGoToTheLog) {
  SimResult r =
      RunText(std::string("[simulation]\nduration_ms = 12000\n") + kBoard +
              "[[event]]\nat_ms = 5000\naction = \"query\"\noid = "
              "\"OID_GEN_MAXIMUM_SEND_PACKETS\"\n"
              "[[event]]\nat_ms = 5001\naction = \"query\"\noid = "
              "\"OID_GEN_VENDOR_DESCRIPTION\"\nlength = 10\n"
              "[[event]]\nat_ms = 5002\naction = \"set_filter\"\nfilter = 0x10\n"
              "[[event]]\nat_ms = 5003\naction = \"set_multicast\"\ncount = 2\nlength = 13\n"
              "[[event]]\nat_ms = 6000\naction = \"reset\"\n"
              "[[event]]\nat_ms = 7000\naction = \"shutdown\"\n");
  auto q = Kind(r, "query");
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0].integer("value"), 20);
  EXPECT_EQ(q[0].text("status"), "0x00000000");
  EXPECT_EQ(q[1].text("status"), "0xC0010014");  // too short
  EXPECT_EQ(q[1].integer("bytes_needed"), 27);
  auto f = Kind(r, "filter_set");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].text("status"), "0xC00000BB");
  auto m = Kind(r, "multicast_set");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].integer("length"), 13);
  EXPECT_EQ(m[0].text("status"), "0xC0010014");
  ASSERT_EQ(Kind(r, "reset").size(), 1u);
  EXPECT_GT(Kind(r, "reset")[0].integer("took_us"), 0);
  ASSERT_EQ(Kind(r, "shutdown").size(), 1u);
  EXPECT_TRUE(Kind(r, "shutdown")[0].flag("handled"));
}

TEST(TrafficCheck, EveryFrameEndsSomewhereKnown) {
  // Frames for other stations are filtered by the adapter; frames sent while
  // the cable is out are lost for want of a link.
  SimResult r = RunText(std::string("[simulation]\nduration_ms = 30000\n") + kBoard +
                        "[[event]]\nat_ms = 5000\naction = \"traffic\"\ndirection = \"both\"\n"
                        "kind = \"mix\"\nframe_size = [14, 1514]\nrate_pps = 100\nduration_ms = "
                        "20000\n"
                        "[[event]]\nat_ms = 10000\naction = \"unplug\"\nphy = 1\n"
                        "[[event]]\nat_ms = 15000\naction = \"plug\"\nphy = 1\n");
  ASSERT_EQ(r.exit_code, kExitClean) << r.failure;
  const Record& s = Summary(r);
  for (const char* dir : {"tx", "rx"}) {
    int64_t ended = 0;
    for (const Field& f : s.fields) {
      if (f.key.rfind(std::string(dir) + "_fate_", 0) == 0 &&
          f.key != std::string(dir) + "_fate_echoed" &&
          f.key != std::string(dir) + "_fate_beyond_filter") {
        ended += s.integer(f.key);
      }
    }
    EXPECT_EQ(ended, 2000) << dir;
    EXPECT_EQ(s.integer(std::string(dir) + "_fate_lost"), 0) << dir;
    EXPECT_GT(s.integer(std::string(dir) + "_fate_no_link"), 0) << dir;
  }
  EXPECT_GT(s.integer("rx_fate_filtered"), 0);
}

TEST(SeveralAdapters, EachHasItsOwnBoardAndNothingCrosses) {
  SimResult r = RunText(
      "[simulation]\nduration_ms = 20000\n"
      "[[adapter]]\nname = \"a\"\n[adapter.board]\neeprom_address = \"00:60:08:00:00:0a\"\n"
      "[[adapter.board.phy]]\naddress = 1\nid = 0x00406210\n"
      "[[adapter]]\nname = \"b\"\n[adapter.board]\neeprom_address = \"00:60:08:00:00:0b\"\n"
      "[[adapter.board.phy]]\naddress = 2\nid = 0x00225410\n"
      "[adapter.registry]\nRxPacketDesc = 5\n"
      "[[event]]\nat_ms = 4000\nadapter = \"b\"\naction = \"traffic\"\nrate_pps = 50\n"
      "duration_ms = 10000\n"
      "[[event]]\nat_ms = 6000\nadapter = \"a\"\naction = \"unplug\"\nphy = 1\n");
  ASSERT_EQ(r.exit_code, kExitClean) << r.failure;
  std::map<std::string, std::string> station;
  for (const Record& i : Kind(r, "initialize"))
    station[i.text("adapter")] = i.text("address");
  EXPECT_EQ(station["a"], "00:60:08:00:00:0a");
  EXPECT_EQ(station["b"], "00:60:08:00:00:0b");
  for (const Record& m : Kind(r, "media")) {
    if (m.text("state") == "disconnect" && m.time_ns > 6'000'000'000u) {
      EXPECT_EQ(m.text("adapter"), "a");
    }
  }
  for (const Record& rec : r.records) {
    EXPECT_NE(rec.find("adapter"), nullptr) << rec.kind;
  }
  std::map<std::string, int64_t> indicated;
  for (const Record& s : Kind(r, "summary"))
    indicated[s.text("adapter")] = s.integer("rx_indicated");
  EXPECT_EQ(indicated["a"], 0);
  EXPECT_EQ(indicated["b"], 500);
}

TEST(Expectations, AFailedOneFailsTheRunAndNamesItsLine) {
  SimResult r = RunText(std::string("[simulation]\nduration_ms = 12000\n") + kBoard +
                        "[[expect]]\nwhat = \"media\"\nstate = \"connect\"\nby_ms = 6000\n"
                        "[[expect]]\nwhat = \"oid\"\noid = \"OID_GEN_LINK_SPEED\"\nvalue = 100000\n"
                        "[[expect]]\nwhat = \"statistic\"\nname = \"OID_GEN_RCV_OK\"\nvalue = 0\n"
                        "[[expect]]\nwhat = \"initialize\"\nresult = \"refused\"\n");
  EXPECT_EQ(r.exit_code, kExitExpectation);
  ASSERT_EQ(r.failed.size(), 2u) << ::testing::PrintToString(r.failed);
  EXPECT_EQ(r.failed[0].rfind("test.toml:10: expected OID_GEN_LINK_SPEED value 100000", 0), 0u)
      << r.failed[0] << r.failed[0];
  EXPECT_EQ(r.failed[1].rfind("test.toml:18: expected initialize refused", 0), 0u) << r.failed[1];
  auto checked = Kind(r, "expectation");
  ASSERT_EQ(checked.size(), 4u);
  EXPECT_TRUE(checked[0].flag("ok"));
  EXPECT_TRUE(checked[2].flag("ok"));
}

TEST(EventLog, NewRecordsAreStrictJsonWithUniqueKeysAndTimelineLines) {
  fs::path examples(USBETH_EXAMPLES_DIR);
  std::set<std::string> kinds;
  for (const char* name :
       {"device-faults.toml", "ndis-requests.toml", "host-faults.toml", "two-adapters.toml"}) {
    SimResult r = run_simulation(load_scenario((examples / name).string()), {});
    for (const Record& rec : r.records) {
      kinds.insert(rec.kind);
      std::set<std::string> keys = {"time_ms", "kind"};
      for (const Field& f : rec.fields) {
        // The active PHY's own kind field is renamed in the log elsewhere.
        if (rec.kind == "active_phy" && f.key == "kind") continue;
        EXPECT_TRUE(keys.insert(f.key).second) << rec.kind << " repeats " << f.key;
      }
      std::string line = to_json_line(rec);
      EXPECT_EQ(line.find('\n'), std::string::npos);
      EXPECT_EQ(line.front(), '{');
      EXPECT_EQ(line.back(), '}');
      if (rec.kind != "summary" && rec.kind != "second") {
        EXPECT_FALSE(timeline_line(rec).empty()) << rec.kind;
      }
    }
  }
  for (const char* k : {"device_fault", "fault_hit", "host_fault", "host_fault_end", "rx_transfer",
                        "device_removed", "device_plugged", "filter_set", "multicast_set",
                        "lookahead_set", "query", "set", "shutdown", "expectation"}) {
    EXPECT_TRUE(kinds.count(k)) << k;
  }
}

TEST(SvgTimeline, FaultsAndRequestsAreMarksOnRowsOfTheirOwn) {
  SimResult r = run_simulation(
      load_scenario((fs::path(USBETH_EXAMPLES_DIR) / "device-faults.toml").string()), {});
  SvgInfo info;
  info.duration_ns = 80'000'000'000;
  info.phys.push_back({1, 0x00406210});
  std::string svg = render_svg(r.records, info);
  EXPECT_NE(svg.find(">faults<"), std::string::npos);
  EXPECT_NE(svg.find(">NDIS requests<"), std::string::npos);
  size_t marks = 0;
  for (size_t at = svg.find("<title>"); at != std::string::npos; at = svg.find("<title>", at + 1))
    ++marks;
  EXPECT_GE(marks, Kind(r, "fault_hit").size() + Kind(r, "device_fault").size());
}

TEST(Soak, EpisodesComeFromTheSeed) {
  SoakOptions o;
  o.seed = 5;
  o.faults = 3;
  o.episode_ms = 600'000;
  std::string a = write_scenario(soak_episode(o, 0));
  EXPECT_EQ(a, write_scenario(soak_episode(o, 0)));
  EXPECT_NE(a, write_scenario(soak_episode(o, 1)));
  o.seed = 6;
  EXPECT_NE(a, write_scenario(soak_episode(o, 0)));
  Scenario s = soak_episode(o, 0);
  EXPECT_GT(s.events.size(), 10u);
  std::set<Action> actions;
  for (const Event& e : s.events) {
    actions.insert(e.action);
    EXPECT_LE(e.at_ms, s.duration_ms);
  }
  EXPECT_TRUE(actions.count(Action::Traffic));
  // What the soak writes out replays.
  EXPECT_NO_THROW(parse_scenario(write_scenario(s), "episode.toml"));
}

TEST(Soak, ReportsWhatItRanAndWritesAFailureThatReplays) {
  fs::path dir = fs::temp_directory_path() / "usbeth-soak-test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  SoakOptions o;
  o.seed = 3;
  o.faults = 1;
  o.hours = 0.05;
  o.episode_ms = 90'000;
  o.shrink_runs = 6;
  o.out_dir = dir.string();
  SoakReport report = run_soak(o);
  EXPECT_GE(report.simulated_hours, 0.05);
  EXPECT_EQ(report.episodes, 2u);
  EXPECT_GT(report.events, 0u);
  EXPECT_GT(report.frames, 0u);
  EXPECT_EQ(report.failure_files.size() > 0, report.failures > 0);
  for (const std::string& file : report.failure_files) {
    Scenario s = load_scenario(file);
    SimResult r = run_simulation(s, {});
    EXPECT_NE(r.exit_code, kExitClean) << file;
  }
}

// The folder for failing scenarios is made before the first episode; one
// that cannot be made stops the soak before it runs, rather than after hours
// with nowhere to write what it found.
TEST(Soak, MakesItsOutputFolderOrRefusesToStart) {
  fs::path dir = fs::temp_directory_path() / "usbeth-soak-out-test";
  fs::remove_all(dir);
  SoakOptions o;
  o.hours = 0.01;
  o.episode_ms = 20'000;
  o.out_dir = (dir / "a" / "b").string();
  SoakReport made = run_soak(o);
  EXPECT_EQ(made.error, "");
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b"));
  EXPECT_GE(made.episodes, 1u);

  std::ofstream(dir / "file") << "not a folder";
  o.out_dir = (dir / "file" / "c").string();
  SoakReport refused = run_soak(o);
  EXPECT_NE(refused.error.find("cannot be made a folder"), std::string::npos) << refused.error;
  EXPECT_EQ(refused.episodes, 0u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace usbeth::sim

namespace usbeth::sim {
namespace {

// Failures the soak found in the simulator itself, each kept as the scenario
// it wrote: the invariant it broke must hold now.
TEST(SoakRegressions, InjectedTransfersDoNotOutliveARestart) {
  Scenario s = load_scenario(std::string(USBETH_SOAK_REGRESSIONS_DIR) +
                             "/injected-transfers-outlive-a-restart.toml");
  SimResult r = run_simulation(s, {});
  for (const Record& rec : of_kind(r.records, "invariant")) {
    EXPECT_NE(rec.text("name"), "statistics_agree") << rec.text("detail");
  }
  EXPECT_FALSE(of_kind(r.records, "rx_transfer").empty());
}

}  // namespace
}  // namespace usbeth::sim
