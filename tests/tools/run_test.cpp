// Whole runs: the default scenario end to end (what the timeline and the
// event log say happened), its captures as tshark decodes them, every example,
// and the program's exit codes for bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iterator>

#include <unistd.h>

#include "event_log.h"
#include "scenario.h"
#include "simulation.h"

namespace usbeth::sim {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kSec = 1'000'000'000;

int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  std::string out;
  while (size_t n = fread(buf, 1, sizeof buf, p))
    out.append(buf, n);
  int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Per process: CTest runs the tests of this file as separate processes, in
// parallel, and each would otherwise rewrite the others' files.
fs::path TempDir(const std::string& name) {
  fs::path dir =
      fs::temp_directory_path() / ("usbeth-sim-test-" + name + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

// The default scenario, run once for the whole suite with both captures.
class DefaultScenario : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(TempDir("default"));
    SimOptions o;
    o.usb_pcap = (*dir_ / "default.usb.pcap").string();
    o.wire_pcap = (*dir_ / "default.wire.pcap").string();
    result_ = new SimResult(run_simulation(parse_scenario(default_scenario_text(), "default"), o));
  }
  static void TearDownTestSuite() {
    delete result_;
    std::error_code ignored;
    fs::remove_all(*dir_, ignored);
    delete dir_;
  }
  const std::vector<Record>& records() { return result_->records; }
  std::vector<Record> kind(const std::string& k) { return of_kind(records(), k); }
  // The records of a kind within [from, to) seconds.
  std::vector<Record> kind_between(const std::string& k, double from, double to) {
    std::vector<Record> out;
    for (const Record& r : kind(k)) {
      if (r.time_ns >= from * kSec && r.time_ns < to * kSec) out.push_back(r);
    }
    return out;
  }
  const Record& summary() {
    static Record none;
    for (const Record& r : records()) {
      if (r.kind == "summary") return r;
    }
    ADD_FAILURE() << "no summary";
    return none;
  }
  static fs::path* dir_;
  static SimResult* result_;
};
fs::path* DefaultScenario::dir_ = nullptr;
SimResult* DefaultScenario::result_ = nullptr;

TEST_F(DefaultScenario, RunsCleanAndHaltsWithoutLeaks) {
  EXPECT_EQ(result_->exit_code, kExitClean) << result_->failure;
  EXPECT_TRUE(kind("bug_check").empty());
  EXPECT_TRUE(kind("corrupt").empty());
  auto init = kind("initialize");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].integer("status", -1), 0);
  EXPECT_EQ(init[0].text("address"), "00:60:08:12:34:56");
  auto halt = kind("halt");
  ASSERT_EQ(halt.size(), 1u);
  EXPECT_EQ(halt[0].time_ns, 88 * kSec);
  EXPECT_FALSE(halt[0].flag("leaks", true));
  EXPECT_EQ(records().back().kind, "halt");
}

TEST_F(DefaultScenario, LinkComesUpAt100FullOnPhy1) {
  auto up = kind_between("phy_link", 0, 25);
  auto phy1 = std::find_if(up.begin(), up.end(),
                           [](const Record& r) { return r.integer("phy") == 1 && r.flag("up"); });
  ASSERT_NE(phy1, up.end());
  EXPECT_EQ(phy1->integer("speed_mbps"), 100);
  EXPECT_TRUE(phy1->flag("full_duplex"));
  auto active = kind_between("active_phy", 0, 25);
  ASSERT_FALSE(active.empty());
  EXPECT_EQ(active.back().integer("phy"), 1);
  auto media = kind_between("media", 0, 25);
  ASSERT_FALSE(media.empty());
  EXPECT_EQ(media.back().text("state"), "connect");
}

TEST_F(DefaultScenario, UnplugGivesDisconnectAndTheMoveToTheHomePhy) {
  auto media = kind_between("media", 25, 50);
  ASSERT_FALSE(media.empty());
  EXPECT_EQ(media.front().text("state"), "disconnect");
  auto active = kind_between("active_phy", 25, 50);
  ASSERT_FALSE(active.empty()) << "the driver stayed on PHY 1 after the cable was pulled";
  EXPECT_EQ(active.back().integer("phy"), 3);
  EXPECT_EQ(active.back().text("phy_kind"), "home");
}

TEST_F(DefaultScenario, ReplugMovesBackWithDisconnectThenConnect) {
  auto active = kind_between("active_phy", 50, 70);
  ASSERT_FALSE(active.empty()) << "no move back to PHY 1 after the cable came back";
  EXPECT_EQ(active.back().integer("phy"), 1);
  auto media = kind_between("media", 50, 70);
  ASSERT_GE(media.size(), 2u);
  EXPECT_EQ(media.back().text("state"), "connect");
  auto last_disconnect = std::find_if(media.rbegin(), media.rend(), [](const Record& r) {
    return r.text("state") == "disconnect";
  });
  ASSERT_NE(last_disconnect, media.rend()) << "the move back indicated no disconnect first";
  EXPECT_LT(last_disconnect->time_ns, media.back().time_ns);
  EXPECT_EQ(media.back().integer("link_speed"), 1000000);  // 100 Mb/s in 100 b/s units
}

TEST_F(DefaultScenario, TrafficCountsMatchWhatWasSent) {
  const Record& s = summary();
  // Every frame the protocol sent reached the wire intact, and every frame
  // the driver indicated was one the partner sent, intact.
  EXPECT_GT(s.integer("tx_sent"), 0);
  EXPECT_EQ(s.integer("tx_on_wire_good"), s.integer("tx_sent"));
  EXPECT_EQ(s.integer("tx_corrupt") + s.integer("tx_duplicated"), 0);
  EXPECT_GT(s.integer("rx_good"), 0);
  EXPECT_EQ(s.integer("rx_good"), s.integer("rx_indicated"));
  EXPECT_EQ(s.integer("rx_corrupt") + s.integer("rx_duplicated"), 0);
  // The driver's counters (zeroed by the reset at 70 s) agree with ours.
  EXPECT_EQ(s.integer("OID_GEN_XMIT_OK"), s.integer("tx_sent_since_reset"));
  EXPECT_EQ(s.integer("OID_GEN_RCV_OK"), s.integer("rx_indicated_since_reset"));
  EXPECT_EQ(s.integer("tx_sent_since_reset"), 500);  // 100/s for 5 s after the reset
  EXPECT_EQ(s.integer("OID_GEN_RCV_ERROR"), 0);
  EXPECT_EQ(s.integer("OID_GEN_MEDIA_CONNECT_STATUS"), 0);
  // The per-second counters add up to the frames on the wire.
  int64_t out = 0;
  for (const Record& r : kind("second"))
    out += r.integer("tx_frames");
  EXPECT_GE(out, s.integer("tx_on_wire_good"));
  auto resets = kind("reset");
  ASSERT_EQ(resets.size(), 1u);
  EXPECT_EQ(resets[0].integer("status", -1), 0);
}

TEST_F(DefaultScenario, EveryRecordIsOneJsonLine) {
  for (const Record& r : records()) {
    std::string line = to_json_line(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind("{\"time_ms\":", 0), 0u) << line;
    EXPECT_EQ(line.back(), '}');
  }
  EXPECT_GT(records().size(), 20u);
}

// Every record parsed by a strict JSON parser that rejects a key given twice
// in one object; the records a jq filter on `kind` selects are those of that kind.
TEST_F(DefaultScenario, EveryRecordIsValidJsonWithUniqueKeys) {
  if (Shell("command -v python3") != 0) GTEST_SKIP() << "python3 is not installed";
  fs::path log = *dir_ / "strict.jsonl";
  {
    std::ofstream out(log);
    for (const Record& r : records())
      out << to_json_line(r) << "\n";
  }
  const char* checker = R"PY(
import json, sys
def unique(pairs):
    keys = [k for k, _ in pairs]
    dup = sorted({k for k in keys if keys.count(k) > 1})
    if dup:
        raise ValueError("duplicate key(s) %s" % dup)
    return dict(pairs)
def constant(name):
    raise ValueError("not JSON: " + name)
kinds = {}
for n, line in enumerate(open(sys.argv[1]), 1):
    try:
        record = json.loads(line, object_pairs_hook=unique, parse_constant=constant)
    except ValueError as e:
        print("line %d: %s: %s" % (n, e, line.strip()))
        sys.exit(1)
    kinds[record["kind"]] = kinds.get(record["kind"], 0) + 1
print(" ".join("%s=%d" % kv for kv in sorted(kinds.items())))
)PY";
  fs::path script = *dir_ / "strict_json.py";
  std::ofstream(script) << checker;
  std::string out;
  ASSERT_EQ(Shell("python3 " + script.string() + " " + log.string(), &out), 0) << out;
  const size_t active = kind("active_phy").size();
  ASSERT_GE(active, 2u);
  EXPECT_NE(out.find("active_phy=" + std::to_string(active)), std::string::npos) << out;
}

TEST_F(DefaultScenario, CapturesDecodeInTshark) {
  if (Shell("command -v tshark") != 0) GTEST_SKIP() << "tshark is not installed";
  std::string out;
  ASSERT_EQ(Shell("tshark -r " + (*dir_ / "default.usb.pcap").string() +
                      " -Y 'usb.setup.bRequest == 0xf1' -T fields -e usb.setup.bRequest"
                      " -e usb.setup.wIndex -e usb.setup.wLength -e usb.data_fragment",
                  &out),
            0)
      << out;
  // The station address written to registers 0x10..0x15 at bring-up.
  EXPECT_NE(out.find("241\t16\t6\t006008123456"), std::string::npos) << out.substr(0, 2000);
  ASSERT_EQ(Shell("tshark -r " + (*dir_ / "default.usb.pcap").string() +
                      " -Y 'usb.setup.bRequest == 0xf0' -T fields -e usb.setup.bRequest",
                  &out),
            0);
  EXPECT_NE(out.find("240"), std::string::npos);
  ASSERT_EQ(Shell("tshark -r " + (*dir_ / "default.wire.pcap").string() +
                      " -Y 'eth.type == 0x88b5 && eth.src == 00:60:08:12:34:56' -T fields"
                      " -e frame.len",
                  &out),
            0);
  // One line per frame the station put on a cable (each PHY carrying
  // traffic has its copy), and nothing else of the checked type.
  size_t frames = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && isdigit(static_cast<unsigned char>(line[0]))) ++frames;
  }
  EXPECT_EQ(frames, static_cast<size_t>(summary().integer("tx_copies_on_wire")));
  EXPECT_GE(frames, static_cast<size_t>(summary().integer("tx_sent")));
  EXPECT_GT(result_->wire_capture_frames, frames);  // the partner's frames too
}

// ---- every example ---------------------------------------------------------------

class Examples : public ::testing::TestWithParam<std::string> {};

TEST_P(Examples, RunsGreen) {
  Scenario s = load_scenario(GetParam());
  SimOptions o;
  // The soak's findings are checked as the soak checks: every second, not
  // only at the end.
  o.check_continuously = GetParam().find(USBETH_SOAK_REGRESSIONS_DIR) == 0;
  SimResult r = run_simulation(s, o);
  EXPECT_EQ(r.exit_code, kExitClean) << GetParam() << ": " << r.failure;
  EXPECT_FALSE(of_kind(r.records, "halt").empty());
  EXPECT_TRUE(of_kind(r.records, "bug_check").empty());
}

std::vector<std::string> RecordLines(const SimResult& r) {
  std::vector<std::string> lines;
  for (const Record& record : r.records)
    lines.push_back(to_json_line(record));
  return lines;
}

// Folding settled frames' records into counts changes nothing the run
// reports: every record, every count, every failure is the same when only a
// handful are kept.
TEST_P(Examples, FoldingFrameRecordsChangesNoReport) {
  Scenario s = load_scenario(GetParam());
  SimOptions o;
  o.check_continuously = GetParam().find(USBETH_SOAK_REGRESSIONS_DIR) == 0;
  SimResult kept = run_simulation(s, o);
  o.frame_records_kept = 2;
  SimResult folded = run_simulation(s, o);
  EXPECT_EQ(RecordLines(folded), RecordLines(kept));
  EXPECT_EQ(folded.exit_code, kept.exit_code);
  EXPECT_EQ(folded.failed, kept.failed);
  EXPECT_EQ(folded.frames_checked, kept.frames_checked);
}

std::vector<std::string> ScenarioFiles(const char* folder) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().extension() == ".toml") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ScenarioName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = fs::path(info.param).stem().string();
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(All, Examples, ::testing::ValuesIn(ScenarioFiles(USBETH_EXAMPLES_DIR)),
                         ScenarioName);
// The soak's findings, each the minimal scenario of a fault the driver has
// since been mended for: they stay as regressions.
INSTANTIATE_TEST_SUITE_P(SoakRegressions, Examples,
                         ::testing::ValuesIn(ScenarioFiles(USBETH_SOAK_REGRESSIONS_DIR)),
                         ScenarioName);

TEST(ExampleBehaviour, BadStatusFramesAreDroppedAndCounted) {
  SimResult r =
      run_simulation(load_scenario(std::string(USBETH_EXAMPLES_DIR) + "/bad-status.toml"), {});
  auto summary = of_kind(r.records, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].integer("OID_GEN_RCV_ERROR"), 30);
  EXPECT_EQ(summary[0].integer("OID_GEN_RCV_CRC_ERROR"), 30);
  EXPECT_EQ(summary[0].integer("OID_GEN_RCV_OK") + 30, summary[0].integer("rx_sent_by_partner"));
}

TEST(ExampleBehaviour, ForcedModeAndNewPartnerSettleWhereExpected) {
  SimResult forced =
      run_simulation(load_scenario(std::string(USBETH_EXAMPLES_DIR) + "/forced-100-full.toml"), {});
  auto s = of_kind(forced.records, "summary");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].integer("OID_GEN_LINK_SPEED"), 1000000);
  SimResult hub = run_simulation(
      load_scenario(std::string(USBETH_EXAMPLES_DIR) + "/partner-abilities.toml"), {});
  auto links = of_kind(hub.records, "phy_link");
  ASSERT_FALSE(links.empty());
  EXPECT_TRUE(links.back().flag("up"));
  EXPECT_EQ(links.back().integer("speed_mbps"), 10);
  EXPECT_FALSE(links.back().flag("full_duplex"));
}

// A stream faster than two transmit descriptors can carry, running until the
// halt: the driver refuses sends for want of a descriptor, NDIS keeps them and
// gives them again, and every send the protocol made is accounted for:
// completed (by status), queued in NDIS or with the driver at halt. None
// comes back refused before the halt; the frames still held then are given
// back by it, and none of them counts as lost.
TEST(TrafficCheck, EverySendsOutcomeIsCountedWhenTheDriverRefusesSends) {
  Scenario s = parse_scenario(R"(
[simulation]
name = "two transmit descriptors"
duration_ms = 6000
bus = "full"
[registry]
TxPacketDesc = 2
[[board.phy]]
address = 1
id = 0x00406210
partner = { plugged = true, abilities = ["100full"] }
[[event]]
at_ms = 4000
action = "traffic"
direction = "tx"
frame_size = 1000
rate_pps = 2000
duration_ms = 2000
)",
                              "few-descriptors.toml");
  SimResult r = run_simulation(s, {});
  EXPECT_EQ(r.exit_code, kExitClean) << r.failure;
  auto summary = of_kind(r.records, "summary");
  ASSERT_EQ(summary.size(), 1u);
  const Record& t = summary[0];
  EXPECT_GT(t.integer("tx_refused_by_driver"), 0);
  EXPECT_EQ(t.integer("tx_completed_resources"), 0);
  EXPECT_EQ(t.integer("tx_completed_failure"), 0);
  EXPECT_EQ(t.integer("tx_completed_other"), 0);
  EXPECT_GT(t.integer("tx_completed_success"), 0);
  EXPECT_GT(t.integer("tx_queued_at_halt"), 0);
  EXPECT_EQ(t.integer("tx_sent"), t.integer("tx_completed_success") +
                                      t.integer("tx_queued_at_halt") +
                                      t.integer("tx_with_driver_at_halt"));
  EXPECT_EQ(t.integer("tx_fate_held"),
            t.integer("tx_queued_at_halt") + t.integer("tx_with_driver_at_halt"));
  EXPECT_TRUE(of_kind(r.records, "invariant").empty());
  // What the driver completed with success reached the wire, but for the
  // frames in its two descriptors when the counts were read.
  const int64_t in_descriptors = t.integer("tx_completed_success") - t.integer("tx_on_wire_good");
  EXPECT_GE(in_descriptors, 0);
  EXPECT_LE(in_descriptors, 2);
  // Not on the wire yet when the summary is taken, they reach it later.
  EXPECT_EQ(t.integer("tx_fate_lost"), in_descriptors);
}

// Offered faster than the wire carries them, most frames are refused; the
// run keeps the records of those still in play, not of every frame offered,
// and reports exactly what it reports keeping them all. A link flap, a reset
// and a mix of kinds give the records most fates. (With a partner that may
// echo, a sent frame's record waits for its echo and is not folded.)
TEST(TrafficCheck, ASaturatedRunKeepsOnlyTheFrameRecordsStillInPlay) {
  Scenario s = parse_scenario(R"(
[simulation]
name = "saturated, with flaps"
duration_ms = 9000
bus = "high"
[[board.phy]]
address = 1
id = 0x00406210
[[event]]
at_ms = 2000
action = "traffic"
direction = "both"
kind = "mix"
frame_size = { min = 60, max = 1514 }
rate_pps = 20000
[[event]]
at_ms = 3500
action = "unplug"
phy = 1
[[event]]
at_ms = 4200
action = "plug"
phy = 1
[[event]]
at_ms = 6500
action = "reset"
)",
                              "saturated-flaps.toml");
  SimResult kept = run_simulation(s, {});
  SimOptions o;
  o.frame_records_kept = 64;
  SimResult folded = run_simulation(s, o);
  EXPECT_EQ(kept.exit_code, kExitClean) << kept.failure;
  EXPECT_EQ(RecordLines(folded), RecordLines(kept));
  EXPECT_EQ(folded.frames_checked, kept.frames_checked);
  // About 280,000 frames offered: all are held without folding, a few
  // hundred with it (those queued in NDIS and in flight, and the window).
  EXPECT_GT(kept.frame_records_peak, 100000u);
  EXPECT_LT(folded.frame_records_peak, 2000u);
  auto summary = of_kind(kept.records, "summary");
  ASSERT_FALSE(summary.empty());
  EXPECT_GT(summary[0].integer("tx_fate_no_link") + summary[0].integer("rx_fate_no_link"), 0);
  EXPECT_GT(summary[0].integer("rx_fate_filtered"), 0);
}

// A sending stream offered faster than packets come free waits for one, its
// refused offers accounted when one is free or when the run looks. Its
// reports are those of offering frame by frame: through a flap and a reset,
// with a device that stops taking frames until the stream is over (its end
// reported at its last offer), and with a second stream started while it
// waits.
TEST(TrafficCheck, AStreamWaitingForPacketsReportsAsOfferingEveryFrame) {
  const char* kScenarios[] = {R"(
[simulation]
name = "saturated sending, flap and reset"
duration_ms = 7000
bus = "high"
[[board.phy]]
address = 1
id = 0x00406210
[[event]]
at_ms = 2000
action = "traffic"
direction = "tx"
frame_size = 590
rate_pps = 30000
duration_ms = 4000
[[event]]
at_ms = 3000
action = "unplug"
phy = 1
[[event]]
at_ms = 3600
action = "plug"
phy = 1
[[event]]
at_ms = 5000
action = "reset"
)",
                              R"(
[simulation]
name = "the device stops taking frames"
duration_ms = 9000
[[board.phy]]
address = 1
id = 0x00406210
[[event]]
at_ms = 2000
action = "traffic"
direction = "tx"
frame_size = 1514
rate_pps = 3000
duration_ms = 1500
[[event]]
at_ms = 2500
action = "device_fault"
request = "bulk_out"
fault = "hang"
)",
                              R"(
[simulation]
name = "a second stream joins a waiting one"
duration_ms = 5000
bus = "high"
[[board.phy]]
address = 1
id = 0x00406210
[[event]]
at_ms = 2000
action = "traffic"
direction = "tx"
frame_size = 1514
rate_pps = 20000
duration_ms = 2000
[[event]]
at_ms = 3000
action = "traffic"
direction = "tx"
kind = "broadcast"
frame_size = 60
rate_pps = 5000
duration_ms = 500
)"};
  for (const char* text : kScenarios) {
    Scenario s = parse_scenario(text, "waiting.toml");
    SimOptions each;
    each.streams_wait = false;
    SimResult offered = run_simulation(s, each);
    SimResult waited = run_simulation(s, {});
    SCOPED_TRACE(s.name);
    EXPECT_EQ(waited.exit_code, kExitClean) << waited.failure;
    EXPECT_GT(waited.offers_waited, 1000u);
    EXPECT_EQ(offered.offers_waited, 0u);
    EXPECT_EQ(waited.frames_checked, offered.frames_checked);
    auto summary = of_kind(waited.records, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_GT(summary[0].integer("tx_refused"), 0);
    if (s.name == "a second stream joins a waiting one") {
      // Once both send, which of them a freed packet goes to is decided by
      // the seed's draws, which waiting has moved along: the totals agree.
      EXPECT_EQ(to_json_line(summary[0]), to_json_line(of_kind(offered.records, "summary").at(0)));
    } else {
      EXPECT_EQ(RecordLines(waited), RecordLines(offered));
    }
  }
}

// A bulk transfer that fails at the device leaves the adapter unable to
// move frames until a reset: NDIS's hang check makes one, and the run
// holds it to doing so in time. Without the check nothing resets the
// adapter, and the recovery invariant says so.
TEST(Recovery, AFailedBulkTransferIsFollowedByAResetInTime) {
  for (const char* request : {"bulk_in", "bulk_out"}) {
    SCOPED_TRACE(request);
    Scenario s = parse_scenario(std::string(R"(
[simulation]
duration_ms = 30000
bus = "full"
[[board.phy]]
address = 1
id = 0x00406210
partner = { plugged = true, abilities = ["100full"] }
[[event]]
at_ms = 5000
action = "traffic"
direction = "both"
frame_size = 300
rate_pps = 50
duration_ms = 20000
[[event]]
at_ms = 6000
action = "device_fault"
fault = "fail"
nth = 3
count = 1
request = ")") + request + "\"\n",
                                "bulk-fault.toml");
    SimResult checked = run_simulation(s, {});
    EXPECT_EQ(checked.exit_code, kExitClean) << checked.failure;
    EXPECT_EQ(of_kind(checked.records, "hang_reset").size(), 1u);
    SimOptions no_check;
    no_check.ndis_hang_check = false;
    SimResult unchecked = run_simulation(s, no_check);
    EXPECT_EQ(unchecked.exit_code, kExitInvariant);
    EXPECT_EQ(unchecked.failure_kind, "recovers_from_bulk_fault") << unchecked.failure;
    EXPECT_TRUE(of_kind(unchecked.records, "hang_reset").empty());
  }
}

// ---- the program -----------------------------------------------------------------

TEST(Program, BadScenarioFilesGiveOneLocatedErrorAndExitTwo) {
  fs::path dir = TempDir("program");
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"[simulation]\nspeed = 1\n", ":2: unknown key 'speed'"},
      {"[simulation]\nduration_ms = \"x\"\n", ":2: 'duration_ms' must be an integer"},
      {"[[event]]\nat_ms = -5\naction = \"reset\"\n", ":2: 'at_ms' must not be negative"},
      {"[[board.phy]]\naddress = 40\nid = 0x00406210\n", ":2: 'address' must be at most 31"},
      {"[[board.phy]]\naddress = 1\nid = 0x12345670\n", ":3: unknown PHY identifier"},
      {"[[event]]\nat_ms = 5\naction = \"device_fault\"\nrequest = \"bulk_in\"\nfault = "
       "\"melt\"\n",
       ":5: unknown fault 'melt'"},
      {"[board]\ntiming = { mii_us = -1 }\n", ":2: 'mii_us' must not be negative"},
      {"[[expect]]\nwhat = \"frames\"\ngone = 1\n", ":3: unknown key 'gone'"},
      {"[[adapter]]\nname = \"a\"\n[[event]]\nat_ms = 1\naction = \"reset\"\nadapter = "
       "\"z\"\n",
       ":6: no adapter named 'z'"},
  };
  int i = 0;
  for (const Case& c : cases) {
    fs::path file = dir / ("bad" + std::to_string(i++) + ".toml");
    std::ofstream(file) << c.text;
    std::string out;
    EXPECT_EQ(Shell(std::string(USBETH_SIM_BINARY) + " " + file.string(), &out), kExitBadInput);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.rfind(file.string() + c.error, 0), 0u) << out;
  }
  std::string out;
  EXPECT_EQ(Shell(std::string(USBETH_SIM_BINARY) + " /nonexistent.toml", &out), kExitBadInput);
  EXPECT_NE(out.find("/nonexistent.toml: cannot be opened"), std::string::npos);
}

TEST(Program, EachFailedExpectationIsALineAndTheExitStatusIsFive) {
  fs::path dir = TempDir("expect");
  fs::path file = dir / "expect.toml";
  std::ofstream(file) << "[simulation]\nduration_ms = 10000\n"
                         "[[board.phy]]\naddress = 1\nid = 0x00406210\n"
                         "[[expect]]\nwhat = \"media\"\nstate = \"connect\"\ncount = 0\n"
                         "[[expect]]\nwhat = \"statistic\"\nname = \"OID_GEN_RCV_OK\"\nvalue = 3\n"
                         "[[expect]]\nwhat = \"reset\"\nwithin_ms = 100\n";
  std::string out;
  EXPECT_EQ(Shell(std::string(USBETH_SIM_BINARY) + " -q " + file.string(), &out), kExitExpectation);
  EXPECT_NE(out.find(file.string() + ":6: expected 0 media connect indication(s), got 2"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(file.string() + ":10: expected OID_GEN_RCV_OK 3, got 0"), std::string::npos)
      << out;
  EXPECT_NE(out.find(file.string() + ":14: expected reset finished within 100 ms, got no reset"),
            std::string::npos)
      << out;
}

TEST(Program, DefaultRunPrintsTheTimelineAndWritesEveryOutput) {
  fs::path dir = TempDir("outputs");
  std::string out;
  ASSERT_EQ(Shell(std::string(USBETH_SIM_BINARY) + " --events " + (dir / "e.jsonl").string() +
                      " --svg " + (dir / "t.svg").string(),
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("cable pulled from PHY 1"), std::string::npos);
  EXPECT_NE(out.find("OID_GEN_XMIT_OK"), std::string::npos);
  std::ifstream events(dir / "e.jsonl");
  std::string line;
  size_t lines = 0, media = 0;
  while (std::getline(events, line)) {
    ++lines;
    if (line.find("\"kind\":\"media\"") != std::string::npos) ++media;
  }
  EXPECT_GT(lines, 20u);
  EXPECT_GE(media, 3u);
  EXPECT_GT(fs::file_size(dir / "t.svg"), 1000u);
}

TEST(Program, TwoRunsOfASeedWriteTheSameTimelineLogAndCaptures) {
  fs::path dir = TempDir("replay");
  std::vector<std::string> outputs;
  for (const char* run : {"a", "b"}) {
    const fs::path d = dir / run;
    fs::create_directories(d);
    std::string out;
    ASSERT_EQ(
        Shell(std::string(USBETH_SIM_BINARY) + " --quiet --seed 5 --events " +
                  (d / "e.jsonl").string() + " --usb-pcap " + (d / "usb.pcap").string() +
                  " --wire-pcap " + (d / "wire.pcap").string() + " --svg " + (d / "t.svg").string(),
              &out),
        0)
        << out;
    outputs.push_back(out);
  }
  auto bytes = [](const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  for (const char* file : {"e.jsonl", "usb.pcap", "wire.pcap", "t.svg"}) {
    const std::string a = bytes(dir / "a" / file), b = bytes(dir / "b" / file);
    EXPECT_GT(a.size(), 1000u) << file;
    EXPECT_TRUE(a == b) << file << " differs between two runs of one seed";
  }
  // The printed summary names the output files, which differ by folder.
  auto without_paths = [&](std::string s) {
    for (const char* run : {"a", "b"}) {
      const std::string d = (dir / run).string();
      for (size_t at; (at = s.find(d)) != std::string::npos;)
        s.erase(at, d.size());
    }
    return s;
  };
  EXPECT_EQ(without_paths(outputs[0]), without_paths(outputs[1]));
}

// An hour with the link up and nothing sent costs the scheduler what the
// driver's own timers and link polls cost, not one step per (micro)frame.
TEST(IdleHour, CostsFewSchedulerStepsAtEitherBusSpeed) {
  for (const char* bus : {"full", "high"}) {
    Scenario s = parse_scenario(std::string("[simulation]\nname = \"idle hour\"\n"
                                            "duration_ms = 3605000\nbus = \"") +
                                    bus +
                                    "\"\n[[board.phy]]\naddress = 1\nid = 0x00406210\n"
                                    "[[event]]\nat_ms = 3600000\naction = \"halt\"\n",
                                "idle.toml");
    SimResult r = run_simulation(s, SimOptions{});
    EXPECT_EQ(r.exit_code, kExitClean) << bus << ": " << r.failure;
    EXPECT_EQ(of_kind(r.records, "halt").size(), 1u) << bus;
    EXPECT_GE(r.end_ns, 3600 * kSec);
    // 3.6 million frames at full speed, 28.8 million microframes at high.
    EXPECT_LT(r.scheduler_steps, 20000u) << bus;
    RecordProperty(std::string("scheduler_steps_") + bus, static_cast<int>(r.scheduler_steps));
  }
}

TEST(Program, DebugPrintsAreEchoedOnRequestOnly) {
  const std::string scenario = (TempDir("debug-prints") / "short.toml").string();
  std::ofstream(scenario) << "[simulation]\nname = \"short\"\nduration_ms = 1000\n"
                             "[[board.phy]]\naddress = 1\nid = 0x00406210\n";
  const std::string sim = "env -u USBETH_DBGPRINT " + std::string(USBETH_SIM_BINARY);
  std::string out;
  ASSERT_EQ(Shell(sim + " --quiet " + scenario, &out), 0) << out;
  EXPECT_EQ(out.find("Pipes[1].MaximumTransferSize"), std::string::npos) << out;
  ASSERT_EQ(Shell(sim + " --quiet --debug-prints " + scenario, &out), 0) << out;
  EXPECT_NE(out.find("Pipes[1].MaximumTransferSize"), std::string::npos) << out;
  ASSERT_EQ(Shell(sim + " --help", &out), 0);
  EXPECT_NE(out.find("--debug-prints"), std::string::npos);
  EXPECT_NE(out.find("USBETH_DBGPRINT=1"), std::string::npos);
}

}  // namespace
}  // namespace usbeth::sim
