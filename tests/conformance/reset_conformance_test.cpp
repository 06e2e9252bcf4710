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

void ExpectTrafficBothWays(Bed& bed, uint32_t tag) {
  const size_t from = bed.protocol().statuses().size();
  // The restart sets the media up again; wait for the link to be back.
  if (bed.adapter()->LinkState != usbeth::kLinkUp) {
    ASSERT_TRUE(bed.WaitForConnect(from));
  }
  // Frames sent before the reset may still be on their way to the wire; let
  // them land so that the ten below are the last ten the partner sees.
  ASSERT_TRUE(bed.RunUntil([&] { return bed.adapter()->TxIrpsOutstanding == 0; }, host::kSecond));
  const uint64_t wire = bed.board().counters().wire_tx_frames;
  std::vector<Bytes> out, in;
  for (uint32_t i = 0; i < 10; ++i) {
    out.push_back(bed.ToPartner(60 + 140 * i, tag + i));
    in.push_back(bed.ToStation(60 + 140 * i, tag + i));
  }
  ASSERT_EQ(bed.Send(out), out.size());
  ASSERT_TRUE(bed.WaitForWire(wire, out.size()));
  auto wire_frames = bed.board().frames_sent_to_partner();
  std::vector<Bytes> last(out.size());
  for (size_t i = 0; i < out.size(); ++i)
    last[i] = wire_frames[wire_frames.size() - out.size() + i].bytes;
  EXPECT_EQ(last, out);
  const size_t before = bed.protocol().received_count();
  ASSERT_TRUE(bed.PartnerSend(in));
  auto got = bed.protocol().received();
  std::vector<Bytes> tail;
  for (size_t i = before; i < got.size(); ++i)
    tail.push_back(got[i].data);
  EXPECT_EQ(tail, in);
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
    ExpectTrafficBothWays(bed, round * 1000);
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
  ExpectTrafficBothWays(bed, 5000);
}

}  // namespace
}  // namespace conformance
