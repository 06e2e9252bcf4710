// The simulator's parts and whole runs: the scenario as a board and registry,
// the records and their renderings, the frame check, the captures, the
// default scenario end to end, every example, and the program's exit codes.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "board_mapping.h"
#include "event_log.h"
#include "scenario.h"
#include "simulation.h"
#include "svg_timeline.h"
#include "traffic.h"
#include "wire_pcap.h"

namespace usbeth::sim {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kSec = 1'000'000'000;

Scenario Default() {
  return parse_scenario(default_scenario_text(), "default");
}

fs::path TempDir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("usbeth-sim-test-" + name);
  fs::create_directories(dir);
  return dir;
}

// ---- the scenario as the simulation's parts ---------------------------------

TEST(BoardMapping, DefaultScenarioBuildsTheEthernetAndHomeBoard) {
  hw::BoardConfig board = board_for(Default().adapter(), Default().bus);
  ASSERT_EQ(board.phys.size(), 3u);
  EXPECT_EQ(board.phys[2].id, hw::phyid::kIsolatedKind);
  EXPECT_EQ(board.phys[0].mii_address, 1);
  EXPECT_EQ(board.phys[0].id, hw::phyid::kEthernetA);
  EXPECT_EQ(board.phys[0].partner.abilities, 0x01E0);
  EXPECT_TRUE(board.phys[0].partner.plugged);
  EXPECT_EQ(board.phys[1].mii_address, 3);
  EXPECT_EQ(board.phys[1].id, hw::phyid::kHomeA);
  EXPECT_TRUE(board.phys[1].partner.home_network);
  EXPECT_EQ(board.speed, hw::BusSpeed::Full);
  // Station address 00:60:08:12:34:56, low byte first in each word.
  EXPECT_EQ(board.eeprom[0], 0x6000);
  EXPECT_EQ(board.eeprom[1], 0x1208);
  EXPECT_EQ(board.eeprom[2], 0x5634);
}

TEST(BoardMapping, PartnerAbilitiesAndBusSpeeds) {
  Scenario s = parse_scenario(
      "[simulation]\nbus = \"unthrottled\"\n[[board.phy]]\naddress = 7\nid = 0x00225410\n"
      "partner = { plugged = false, abilities = [\"10half\", \"100full\"] }\n",
      "x.toml");
  hw::BoardConfig board = board_for(s.adapter(), s.bus);
  EXPECT_EQ(board.phys[0].partner.abilities, 0x0120);
  EXPECT_FALSE(board.phys[0].partner.plugged);
  EXPECT_EQ(board.speed, hw::BusSpeed::High);  // unthrottled runs on microframes
  EXPECT_EQ(ability_names(s.adapter().phys[0].partner), "10half 100full");
  s.bus = BusSpeedSetting::High;
  EXPECT_EQ(board_for(s.adapter(), s.bus).speed, hw::BusSpeed::High);
}

TEST(BoardMapping, RegistryHoldsOnlyWhatTheScenarioSets) {
  Scenario s = parse_scenario(
      "[registry]\nMediaType = 4\nHomeLan = 17\nNetworkAddress = \"02:11:22:33:44:55\"\n",
      "x.toml");
  host::ndis::AdapterRegistry reg = registry_for(s.adapter());
  ASSERT_NE(reg.find("MediaType"), nullptr);
  EXPECT_EQ(reg.find("mediatype")->integer, 4u);
  EXPECT_EQ(reg.find("HomeLan")->integer, 17u);
  EXPECT_EQ(reg.find("TxPacketDesc"), nullptr);
  EXPECT_EQ(reg.find("AlivePara"), nullptr);
  ASSERT_NE(reg.network_address(), nullptr);
  EXPECT_EQ((*reg.network_address())[1], 0x11);
}

TEST(BoardMapping, PlugEventsCarryOnlyWhatTheyName) {
  Scenario s = parse_scenario(std::string("[[board.phy]]\naddress = 3\nid = 0x00006B90\n") +
                                  "[[event]]\nat_ms = 5\naction = \"plug\"\nphy = 3\n"
                                  "[[event]]\nat_ms = 6\naction = \"plug\"\nphy = 3\n"
                                  "home_network = true\nabilities = [\"10full\"]\n",
                              "x.toml");
  EXPECT_FALSE(s.events[0].abilities_given);
  EXPECT_FALSE(s.events[0].home_network.has_value());
  EXPECT_TRUE(s.events[1].abilities_given);
  EXPECT_EQ(s.events[1].home_network, true);
  EXPECT_EQ(ability_bits(s.events[1].abilities), 0x0040);
  EXPECT_THROW(parse_scenario("[[board.phy]]\naddress = 3\nid = 0x00006B90\n[[event]]\n"
                              "at_ms = 5\naction = \"abilities\"\nphy = 3\n",
                              "x.toml"),
               ScenarioError);
}

// ---- records ----------------------------------------------------------------

TEST(EventLog, JsonLineCarriesTimeKindAndTypedFields) {
  Record r;
  r.time_ns = 25'003'000'123;
  r.kind = "media";
  r.add("state", "connect").add("link_speed", 1000000).add("up", true);
  r.add("note", "a \"quoted\"\nline");
  EXPECT_EQ(to_json_line(r),
            "{\"time_ms\":25003.000123,\"kind\":\"media\",\"state\":\"connect\","
            "\"link_speed\":1000000,\"up\":true,\"note\":\"a \\\"quoted\\\"\\nline\"}");
}

TEST(EventLog, TimelineLinesSayWhatHappened) {
  Record link{1'540'000'000, "phy_link", {}};
  link.add("phy", 1).add("up", true).add("speed_mbps", 100).add("full_duplex", true);
  EXPECT_EQ(timeline_line(link), "   1.540 s  link         PHY 1 link up, 100 Mb/s full duplex");
  Record media{27'086'000'000, "media", {}};
  media.add("state", "disconnect");
  EXPECT_EQ(timeline_line(media), "  27.086 s  media        disconnect");
  Record connect{3'000'000'000, "media", {}};
  connect.add("state", "connect").add("link_speed", 10000);
  EXPECT_NE(timeline_line(connect).find("connect, 1 Mb/s"), std::string::npos);
  Record second{9 * kSec, "second", {}};
  second.add("tx_frames", 200).add("tx_bytes", 118000).add("rx_frames", 0).add("rx_bytes", 0);
  EXPECT_NE(timeline_line(second).find("out 200 frames 118.0 kB, in 0 frames 0 B"),
            std::string::npos);
  EXPECT_EQ(timeline_line(Record{0, "summary", {}}), "");
}

// ---- the frame check ----------------------------------------------------------

TEST(FrameCheck, FramesCarryTheirOwnCheck) {
  Mac a{2, 0, 0, 0, 0, 1}, b{2, 0, 0, 0, 0, 2};
  auto f = make_checked_frame(a, b, 77, 300);
  ASSERT_EQ(f.size(), 300u);
  CheckedFrame c = check_frame(f, a, b);
  EXPECT_EQ(c.check, FrameCheck::Good);
  EXPECT_EQ(c.sequence, 77u);
  // Padding after the announced length is accepted.
  auto padded = make_checked_frame(a, b, 3, 30);
  padded.resize(60, 0);
  EXPECT_EQ(check_frame(padded, a, b).check, FrameCheck::Good);
  // One flipped byte, a cut frame, the wrong addresses: damaged.
  auto flipped = f;
  flipped[200] ^= 0x40;
  EXPECT_EQ(check_frame(flipped, a, b).check, FrameCheck::Corrupt);
  auto cut = f;
  cut.resize(299);
  EXPECT_EQ(check_frame(cut, a, b).check, FrameCheck::Corrupt);
  EXPECT_EQ(check_frame(f, b, a).check, FrameCheck::Corrupt);
  // Other traffic is not judged.
  std::vector<uint8_t> arp(60, 0);
  arp[12] = 0x08;
  arp[13] = 0x06;
  EXPECT_EQ(check_frame(arp, a, b).check, FrameCheck::NotChecked);
}

// The pattern is (sequence * 7 + index) mod 256 from byte 20 on, whatever
// the sequence (every starting value, wrapping past 255) and the size; a
// flipped byte at the far end of the longest frame is still seen.
TEST(FrameCheck, PatternIsTheSameAtEverySequenceAndSize) {
  Mac a{2, 0, 0, 0, 0, 1}, b{2, 0, 0, 0, 0, 2};
  for (uint32_t seq : {0u, 1u, 33u, 36u, 37u, 255u, 256u, 0x01020304u, 0xFFFFFFFFu}) {
    for (unsigned size : {20u, 21u, 60u, 276u, 1514u, 4000u}) {
      auto f = make_checked_frame(a, b, seq, size);
      ASSERT_EQ(f.size(), size);
      for (size_t i = kCheckedHeaderBytes; i < size; ++i) {
        ASSERT_EQ(f[i], static_cast<uint8_t>(seq * 7 + i)) << seq << " " << size << " " << i;
      }
      CheckedFrame c = check_frame(f, a, b);
      ASSERT_EQ(c.check, FrameCheck::Good) << seq << " " << size;
      EXPECT_EQ(c.sequence, seq);
      if (size > kCheckedHeaderBytes) {
        f.back() ^= 1;
        EXPECT_EQ(check_frame(f, a, b).check, FrameCheck::Corrupt) << seq << " " << size;
      }
    }
  }
}

TEST(FrameCheck, StreamCountsGoodDamagedDuplicatedAndMissing) {
  Mac a{2, 0, 0, 0, 0, 1}, b{2, 0, 0, 0, 0, 2};
  StreamCheck s;
  for (int i = 0; i < 4; ++i)
    s.next_sequence();
  s.arrived(check_frame(make_checked_frame(a, b, 0, 100), a, b), 1);
  s.arrived(check_frame(make_checked_frame(a, b, 0, 100), a, b), 3);  // other PHY: not twice
  s.arrived(check_frame(make_checked_frame(a, b, 1, 100), a, b), 1);
  s.arrived(check_frame(make_checked_frame(a, b, 1, 100), a, b), 1);  // twice on one cable
  s.arrived(check_frame(make_checked_frame(a, b, 9, 100), a, b), 1);  // never sent
  EXPECT_EQ(s.good(), 2u);
  EXPECT_EQ(s.duplicated(), 1u);
  EXPECT_EQ(s.corrupt(), 1u);
  EXPECT_EQ(s.missing(), 2u);
  EXPECT_EQ(s.bytes_good(), 200u);
}

// ---- pictures and captures ----------------------------------------------------

TEST(SvgTimeline, DrawsLinkActivePhyMediaAndThroughput) {
  std::vector<Record> records;
  auto add = [&](uint64_t t, const std::string& kind) -> Record& {
    records.push_back(Record{t, kind, {}});
    return records.back();
  };
  add(1 * kSec, "phy_link")
      .add("phy", 1)
      .add("up", true)
      .add("speed_mbps", 100)
      .add("full_duplex", true);
  add(1 * kSec, "active_phy").add("phy", 1).add("id", 0x00406210).add("phy_kind", "ethernet");
  add(3 * kSec, "media").add("state", "connect");
  add(5 * kSec, "second")
      .add("tx_bytes", 100000)
      .add("rx_bytes", 50000)
      .add("tx_frames", 1)
      .add("rx_frames", 1);
  add(6 * kSec, "unplug").add("phy", 1);
  add(6 * kSec, "phy_link")
      .add("phy", 1)
      .add("up", false)
      .add("speed_mbps", 0)
      .add("full_duplex", false);
  add(8 * kSec, "media").add("state", "disconnect");
  SvgInfo info{"test <run>", 10 * kSec, {{1, 0x00406210}, {3, 0x00006B90}}, {}};
  std::string svg = render_svg(records, info);
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_NE(svg.find("test &lt;run&gt;"), std::string::npos);
  EXPECT_NE(svg.find("PHY 1 link (ethernet)"), std::string::npos);
  EXPECT_NE(svg.find("PHY 3 link (home)"), std::string::npos);
  EXPECT_NE(svg.find(">100 full<"), std::string::npos);
  EXPECT_NE(svg.find(">connected<"), std::string::npos);
  EXPECT_NE(svg.find(">disconnected<"), std::string::npos);
  EXPECT_NE(svg.find(">unplug 1<"), std::string::npos);
  // One bar each way for the one second of traffic (plus the legend swatches).
  size_t out_bars = 0, pos = 0;
  while ((pos = svg.find("fill=\"#3b6fb6\"", pos + 1)) != std::string::npos)
    ++out_bars;
  EXPECT_GE(out_bars, 2u);
}

TEST(WireCapture, EthernetPcapReadsBackWithNanosecondTimes) {
  fs::path file = TempDir("wire") / "w.pcap";
  std::vector<uint8_t> a(60, 0xAB), b(1514, 0x5A);
  {
    std::string error;
    auto w = EthernetPcapWriter::open(file.string(), &error);
    ASSERT_TRUE(w) << error;
    w->write(1'500'000'123, a);
    w->write(90 * kSec + 7, b);
    EXPECT_EQ(w->frames(), 2u);
  }
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p =
      pcap_open_offline_with_tstamp_precision(file.c_str(), PCAP_TSTAMP_PRECISION_NANO, err);
  ASSERT_NE(p, nullptr) << err;
  EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
  pcap_pkthdr* h;
  const u_char* data;
  ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
  EXPECT_EQ(h->ts.tv_sec, 1);
  EXPECT_EQ(h->ts.tv_usec, 500000123);
  EXPECT_EQ(std::vector<uint8_t>(data, data + h->caplen), a);
  ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
  EXPECT_EQ(h->ts.tv_sec, 90);
  EXPECT_EQ(h->len, 1514u);
  pcap_close(p);
  std::string error;
  EXPECT_FALSE(EthernetPcapWriter::open("/nonexistent-dir/x.pcap", &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.pcap"), std::string::npos);
}

}  // namespace
}  // namespace usbeth::sim
