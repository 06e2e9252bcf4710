// Frames of every length from 14 to 1514 bytes, each way, at full speed,
// checked byte for byte: what the link partner got on the wire for a send,
// and what NDIS was given for a frame from the wire.
#include <gtest/gtest.h>

#include "conformance_bed.h"

namespace conformance {
namespace {

constexpr size_t kShortest = 14;
constexpr size_t kLongest = 1514;
constexpr size_t kMinimumOnWire = 60;  // a sending MAC pads shorter frames

class FrameConformanceTest : public ::testing::Test {
 protected:
  FrameConformanceTest() { EXPECT_EQ(bed_.board().config().speed, hw::BusSpeed::Full); }
  Bed bed_;
};

TEST_F(FrameConformanceTest, EveryLengthSentReachesThePartnerUnchanged) {
  std::vector<Bytes> frames;
  for (size_t n = kShortest; n <= kLongest; ++n)
    frames.push_back(bed_.ToPartner(n, uint32_t(n)));
  const size_t wire_before = bed_.board().frames_sent_to_partner().size();
  const uint64_t wire_start = bed_.board().counters().wire_tx_frames;
  const host::Nanoseconds start = bed_.now();
  ASSERT_EQ(bed_.Send(frames), frames.size());
  ASSERT_TRUE(bed_.WaitForWire(wire_start, frames.size()));
  std::vector<hw::WireFrame> wire = bed_.board().frames_sent_to_partner();
  ASSERT_EQ(wire.size() - wire_before, frames.size());
  size_t mismatches = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (wire[wire_before + i].bytes != frames[i]) {
      ADD_FAILURE() << "frame of " << frames[i].size() << " bytes differs on the wire ("
                    << wire[wire_before + i].bytes.size() << " bytes there)";
      if (++mismatches > 5) break;
    }
  }
  // Every send completed to NDIS with success, and the counters agree.
  bed_.RunFor(10 * host::kMillisecond);
  size_t ok = 0;
  for (const auto& c : bed_.protocol().send_completions())
    ok += c.status == NDIS_STATUS_SUCCESS;
  EXPECT_EQ(ok, frames.size());
  EXPECT_EQ(bed_.protocol().query_ulong(OID_GEN_XMIT_OK), frames.size());
  EXPECT_EQ(bed_.board().counters().tx_bad_length, 0u);
  EXPECT_EQ(bed_.board().counters().tx_short_transfers, 0u);
  EXPECT_EQ(bed_.board().counters().tx_trailing_discarded, 0u);
  RecordProperty("frame_sizes_sent", static_cast<int>(frames.size()));
  RecordProperty("virtual_ms", static_cast<int>((bed_.now() - start) / host::kMillisecond));
}

TEST_F(FrameConformanceTest, EveryLengthFromTheWireReachesNdisUnchanged) {
  std::vector<Bytes> frames;
  for (size_t n = kShortest; n <= kLongest; ++n) {
    Bytes f = bed_.ToStation(n, uint32_t(n));
    if (f.size() < kMinimumOnWire) f.resize(kMinimumOnWire, 0);
    frames.push_back(std::move(f));
  }
  const size_t before = bed_.protocol().received_count();
  ASSERT_TRUE(bed_.PartnerSend(frames));
  std::vector<host::ndis::Protocol::ReceivedFrame> got = bed_.protocol().received();
  ASSERT_EQ(got.size() - before, frames.size());
  size_t mismatches = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const auto& r = got[before + i];
    if (r.data != frames[i]) {
      ADD_FAILURE() << "frame #" << i << " (" << frames[i].size() << " bytes) indicated as "
                    << r.data.size() << " bytes that differ";
      if (++mismatches > 5) break;
    }
    EXPECT_EQ(r.header_size, 14u);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  }
  EXPECT_EQ(bed_.protocol().query_ulong(OID_GEN_RCV_OK), frames.size());
  EXPECT_EQ(bed_.board().counters().rx_fifo_overflows, 0u);
  RecordProperty("frame_sizes_received", static_cast<int>(frames.size()));
}

TEST_F(FrameConformanceTest, RuntsFromTheWireAreNotIndicated) {
  const size_t before = bed_.protocol().received_count();
  for (size_t n : {14u, 40u, 59u})
    bed_.board().send_from_partner(bed_.phy(), bed_.ToStation(n, 1));
  Bytes good = bed_.ToStation(60, 2);
  bed_.board().send_from_partner(bed_.phy(), good);
  ASSERT_TRUE(
      bed_.RunUntil([&] { return bed_.protocol().received_count() > before; }, host::kSecond));
  bed_.RunFor(20 * host::kMillisecond);
  auto got = bed_.protocol().received();
  ASSERT_EQ(got.size(), before + 1);
  EXPECT_EQ(got.back().data, good);
}

}  // namespace
}  // namespace conformance
