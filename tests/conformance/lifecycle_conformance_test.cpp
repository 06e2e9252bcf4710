// Halt and initialize again on the same device, one hundred times (or
// USBETH_LIFECYCLE_CYCLES), with traffic both ways in between: every halt
// leaves nothing behind (the verifier checks at each halt, and the pool is
// counted by tag here).
#include <gtest/gtest.h>

#include <cstdlib>

#include "conformance_bed.h"

namespace conformance {
namespace {

int Cycles() {
  const char* text = std::getenv("USBETH_LIFECYCLE_CYCLES");
  const int cycles = text ? std::atoi(text) : 0;
  return cycles > 0 ? cycles : 100;
}

TEST(LifecycleConformanceTest, HundredHaltInitializeCyclesWithTrafficLeakNothing) {
  const int kCycles = Cycles();
  Bed bed;
  const host::Nanoseconds start = bed.now();
  int cycles = 0;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    // Traffic both ways, sized by cycle.
    const uint64_t wire = bed.board().counters().wire_tx_frames;
    const int step = cycle % 1400;
    std::vector<Bytes> out{bed.ToPartner(60 + step, cycle), bed.ToPartner(1514 - step, cycle)};
    ASSERT_EQ(bed.Send(out), out.size());
    ASSERT_TRUE(bed.WaitForWire(wire, out.size()));
    ASSERT_TRUE(bed.PartnerSend({bed.ToStation(61 + step, cycle), bed.ToStation(1000, cycle)}));
    // Frames still on their way when the halt comes.
    bed.board().send_from_partner(bed.phy(), bed.ToStation(500, cycle));
    bed.protocol().send(bed.ToPartner(700, cycle), {}, host::ndis::CallOptions{DISPATCH_LEVEL});

    bed.testbed().halt();
    ASSERT_EQ(bed.miniport().state(), host::ndis::Miniport::State::Halted);
    bed.ExpectNothingLeft("after halt");
    if (::testing::Test::HasFailure()) break;

    ASSERT_EQ(bed.miniport().initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(bed.BringUp());
    ++cycles;
  }
  EXPECT_EQ(cycles, kCycles);
  RecordProperty("cycles", cycles);
  RecordProperty("virtual_seconds", static_cast<int>((bed.now() - start) / host::kSecond));
  RecordProperty("bus_ticks", static_cast<int>(bed.testbed().bus().stats().ticks));
}

TEST(LifecycleConformanceTest, ShutdownThenHaltStopsOnce) {
  Bed bed;
  ASSERT_TRUE(bed.miniport().shutdown());
  // A stopped device takes no frames and sends none.
  const size_t received = bed.protocol().received_count();
  bed.board().send_from_partner(bed.phy(), bed.ToStation(100, 1));
  bed.RunFor(50 * host::kMillisecond);
  EXPECT_EQ(bed.protocol().received_count(), received);
  const host::Nanoseconds start = bed.now();
  bed.testbed().halt();
  EXPECT_LT(bed.now() - start, 100 * host::kMillisecond);
  bed.ExpectNothingLeft("after shutdown and halt");
}

}  // namespace
}  // namespace conformance
