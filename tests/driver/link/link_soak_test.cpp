// An hour per seed of simulated link flapping on the two-PHY board, cable and home
// network changing at random times from a seed, with the monitor's
// invariants checked every second and the indications checked against
// the real link at the end of every quiet period.

#include <random>

#include "link_rig.h"

namespace usbeth_test {
namespace {

constexpr host::Nanoseconds kStep = 1000 * kMs;
constexpr host::Nanoseconds kQuiet = 40 * kSec;  // long enough for any switch to settle

class LinkSoakTest : public LinkTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(LinkSoakTest, FlappingLinksKeepTheMonitorSound) {
  const uint64_t seed = GetParam();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 random(seed);
  // Start on the home PHY so that the moves back to Ethernet are exercised.
  LinkSetup setup;
  setup.board = TwoPhyBoard(false, true);
  setup.seed = seed;
  usbeth::Adapter* a = Start(setup);
  bool ethernet_plugged = false;
  bool home_network = true;

  const host::Nanoseconds end = 3600 * kSec;
  size_t quiet_checks = 0;
  size_t moves = 0;
  ULONG active = a->ActivePhyId;
  while (since_start() < end) {
    // Quiet periods of every length, some long enough to settle.
    std::uniform_int_distribution<uint64_t> gap_ms(500, 90000);
    host::Nanoseconds gap = gap_ms(random) * kMs;
    host::Nanoseconds until = since_start() + gap;
    while (since_start() < until) {
      RunFor(kStep);
      ASSERT_LE(watch->max_in_flight, 1) << "two register requests in flight at once";
      if (PollTimerArmed()) {
        ASSERT_EQ(a->LinkPollBusy, 0) << "poll armed during a chain";
      }
      ASSERT_LE(host::live_pool_blocks_with_tag(usbeth::kRequestPoolTag), 1u);
      if (a->ActivePhyId != active) {
        ++moves;
        active = a->ActivePhyId;
      }
    }
    if (gap >= kQuiet) {
      // The link the active PHY's partner really offers decides what NDIS
      // must have been told last.
      bool on_home = a->ActivePhyAddress == 3;
      bool link = on_home ? home_network : ethernet_plugged;
      ASSERT_FALSE(seen.timed.empty());
      EXPECT_EQ(seen.timed.back().code,
                link ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT)
          << "at " << since_start() / kMs << " ms, on " << (on_home ? "home" : "ethernet");
      EXPECT_EQ(board().phy_state(a->ActivePhyAddress).link_up, link);
      ++quiet_checks;
    }
    board().clear_logs();  // hours of register logs are not needed
    if (random() % 2) {
      ethernet_plugged = !ethernet_plugged;
      board().plug(1, ethernet_plugged);
    } else {
      home_network = !home_network;
      board().set_home_network(3, home_network);
    }
  }
  EXPECT_GT(quiet_checks, 20u);
  EXPECT_GE(moves, 1u);
  RecordProperty("quiet_checks", static_cast<int>(quiet_checks));
}

INSTANTIATE_TEST_SUITE_P(Seeds, LinkSoakTest, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace usbeth_test
