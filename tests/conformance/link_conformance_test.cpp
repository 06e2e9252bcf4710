// Cable unplug and re-plug: one disconnect indication for the unplug and one
// connect indication for the re-plug, each followed by its status complete,
// however long the cable stays out.
#include <gtest/gtest.h>

#include "conformance_bed.h"

namespace conformance {
namespace {

class LinkConformanceTest : public ::testing::TestWithParam<int> {};

TEST_P(LinkConformanceTest, UnplugAndReplugIndicateOnceEach) {
  const host::Nanoseconds out_for = GetParam() * host::kSecond;
  Bed bed;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const size_t from = bed.protocol().statuses().size();
    const size_t completes = bed.protocol().status_completes().size();
    bed.board().plug(bed.phy(), false);
    bed.RunFor(out_for);
    EXPECT_EQ(bed.MediaIndications(NDIS_STATUS_MEDIA_DISCONNECT, from), 1u);
    EXPECT_EQ(bed.MediaIndications(NDIS_STATUS_MEDIA_CONNECT, from), 0u);
    EXPECT_EQ(bed.protocol().query_ulong(OID_GEN_MEDIA_CONNECT_STATUS), 1u);

    const size_t replug = bed.protocol().statuses().size();
    bed.board().plug(bed.phy(), true);
    bed.RunFor(15 * host::kSecond);
    EXPECT_EQ(bed.MediaIndications(NDIS_STATUS_MEDIA_CONNECT, replug), 1u);
    EXPECT_EQ(bed.MediaIndications(NDIS_STATUS_MEDIA_DISCONNECT, replug), 0u);
    EXPECT_EQ(bed.protocol().statuses().size(), from + 2);
    EXPECT_EQ(bed.protocol().status_completes().size(), completes + 2);
    EXPECT_EQ(bed.protocol().query_ulong(OID_GEN_MEDIA_CONNECT_STATUS), 0u);

    // Traffic flows again both ways.
    const uint64_t wire = bed.board().counters().wire_tx_frames;
    ASSERT_EQ(bed.Send({bed.ToPartner(100, 1)}), 1u);
    EXPECT_TRUE(bed.WaitForWire(wire, 1));
    EXPECT_TRUE(bed.PartnerSend({bed.ToStation(100, 2)}));
  }
}

// Out for less than one poll interval's worth of polls, for three polls (the
// link monitor starts its recovery sequences), and for long.
INSTANTIATE_TEST_SUITE_P(OutFor, LinkConformanceTest, ::testing::Values(4, 10, 30),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "s";
                         });

}  // namespace
}  // namespace conformance
