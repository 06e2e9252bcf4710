// Reset in the middle of two-way traffic, at DISPATCH_LEVEL as NDIS calls it:
// it completes, every send in flight completes, and afterwards frames flow
// both ways again and the link poll keeps running.
#include <gtest/gtest.h>

#include "conformance_bed.h"

namespace conformance {
namespace {

// Starts traffic both ways without waiting for it, then resets.
void ResetDuringTraffic(Bed& bed, uint32_t round) {
  for (uint32_t i = 0; i < 6; ++i) {
    bed.board().send_from_partner(bed.phy(), bed.ToStation(200 + 100 * i, round * 100 + i),
                                  bed.now() + i * 300 * host::kMicrosecond);
    bed.protocol().send(bed.ToPartner(300 + 100 * i, round * 100 + i), {},
                        host::ndis::CallOptions{DISPATCH_LEVEL});
  }
  bed.RunFor(700 * host::kMicrosecond);  // some of it on the bus right now
  const size_t resets = bed.protocol().resets().size();
  const NDIS_STATUS status = bed.protocol().reset();  // at DISPATCH_LEVEL
  EXPECT_TRUE(status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_PENDING);
  ASSERT_EQ(bed.protocol().resets().size(), resets + 1);
  EXPECT_EQ(bed.protocol().resets().back().status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bed.protocol().resets().back().addressing_reset, FALSE);
  EXPECT_FALSE(bed.miniport().reset_pending());
}

class ResetConformanceTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ResetConformanceTest, ResetDuringTwoWayTrafficThenTrafficAndPollingResume) {
  BedOptions options;
  options.seed = GetParam();
  Bed bed(options);
  for (uint32_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(::testing::Message() << "seed " << GetParam() << " round " << round);
    ResetDuringTraffic(bed, round);
    // Statistics start again from zero.
    EXPECT_LE(bed.protocol().query_ulong(OID_GEN_XMIT_OK).value_or(~0u), 6u);
    bed.ExpectTrafficBothWays(round * 1000);
    // Every send made before and after the reset was completed to NDIS.
    EXPECT_TRUE(bed.RunUntil([&] { return bed.protocol().sends_in_flight() == 0; }, host::kSecond));
    // The link poll runs on, every 3 s: the PHY status keeps being read.
    const size_t reads = bed.board().register_reads().size();
    bed.RunFor(10 * host::kSecond);
    EXPECT_GE(bed.board().register_reads().size(), reads + 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ResetConformanceTest, ::testing::Values(1, 2, 3, 4));

TEST(ResetAtPassiveConformanceTest, ResetAtPassiveLevelCompletesAtOnceAndTrafficResumes) {
  Bed bed;
  EXPECT_EQ(bed.protocol().reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  bed.ExpectTrafficBothWays(5000);
}

}  // namespace
}  // namespace conformance
