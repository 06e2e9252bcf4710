// Each packet filter against directed, broadcast, multicast and
// foreign-station frames. The controller takes frames for the station
// address, broadcast frames, and every multicast frame (its hash is all
// ones); other stations' frames only in promiscuous mode. Finer selection of
// group addresses per binding is left to NDIS above the miniport.
#include <gtest/gtest.h>

#include "conformance_bed.h"

namespace conformance {
namespace {

enum Kind { kDirected, kBroadcast, kMulticast, kForeign, kKinds };
const char* const kKindNames[kKinds] = {"directed", "broadcast", "multicast", "foreign"};

struct FilterCase {
  uint32_t filter;
  bool reaches[kKinds];
};

const FilterCase kCases[] = {
    {kFilterDirected, {true, true, true, false}},
    {kFilterBroadcast, {true, true, true, false}},
    {kFilterMulticast, {true, true, true, false}},
    {kFilterAllMulticast, {true, true, true, false}},
    {kFilterPromiscuous, {true, true, true, true}},
    {kFilterDirected | kFilterBroadcast, {true, true, true, false}},
    {kFilterDirected | kFilterMulticast | kFilterBroadcast, {true, true, true, false}},
    {kFilterDirected | kFilterAllMulticast | kFilterBroadcast, {true, true, true, false}},
    {kFilterDirected | kFilterPromiscuous, {true, true, true, true}},
    {kFilterAllMulticast | kFilterPromiscuous, {true, true, true, true}},
    {0, {true, true, true, false}},
};

class FilterConformanceTest : public ::testing::Test {
 protected:
  Bytes FrameOf(Kind kind, uint32_t tag) {
    hw::MacAddress dst = bed_.station();
    if (kind == kBroadcast) dst = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (kind == kMulticast) dst = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};
    if (kind == kForeign) dst = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
    return Bed::Frame(dst, bed_.partner(), 64 + kind, tag);
  }
  Bed bed_;
};

TEST_F(FilterConformanceTest, EachFilterAgainstEachKindOfFrame) {
  uint32_t tag = 0;
  size_t combinations = 0;
  for (const FilterCase& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "filter 0x" << std::hex << c.filter);
    ASSERT_TRUE(bed_.SetFilter(c.filter, DISPATCH_LEVEL));
    const uint8_t reg2 = bed_.board().peek_register(0x02);
    EXPECT_EQ((reg2 & 0x04) != 0, (c.filter & kFilterPromiscuous) != 0);
    for (int k = 0; k < kKinds; ++k) {
      ++combinations;
      Bytes frame = FrameOf(Kind(k), ++tag);
      const size_t before = bed_.protocol().received_count();
      bed_.board().send_from_partner(bed_.phy(), frame);
      bed_.RunFor(20 * host::kMillisecond);
      auto got = bed_.protocol().received();
      const bool reached = got.size() > before;
      EXPECT_EQ(reached, c.reaches[k]) << kKindNames[k];
      if (reached) {
        EXPECT_EQ(got.size(), before + 1) << kKindNames[k];
        EXPECT_EQ(got.back().data, frame) << kKindNames[k];
      }
    }
  }
  RecordProperty("filter_combinations", static_cast<int>(combinations));
}

TEST_F(FilterConformanceTest, LeavingPromiscuousModeStopsForeignFrames) {
  ASSERT_TRUE(bed_.SetFilter(kFilterPromiscuous));
  const size_t before = bed_.protocol().received_count();
  bed_.board().send_from_partner(bed_.phy(), FrameOf(kForeign, 1));
  bed_.RunFor(20 * host::kMillisecond);
  EXPECT_EQ(bed_.protocol().received_count(), before + 1);
  ASSERT_TRUE(bed_.SetFilter(kFilterDirected | kFilterBroadcast));
  bed_.board().send_from_partner(bed_.phy(), FrameOf(kForeign, 2));
  bed_.board().send_from_partner(bed_.phy(), FrameOf(kDirected, 3));
  bed_.RunFor(20 * host::kMillisecond);
  auto got = bed_.protocol().received();
  ASSERT_EQ(got.size(), before + 2);
  EXPECT_EQ(got.back().data, FrameOf(kDirected, 3));
}

}  // namespace
}  // namespace conformance
