// The stress tool's frame checker: a damaged, duplicated, reordered or
// missing frame must each be caught, and lawful traffic must pass.
#include <gtest/gtest.h>

#include "frame_check.h"

namespace usbeth::stress {
namespace {

const Mac kDst = {0x02, 0, 0, 0, 0, 0x02};
const Mac kSrc = {0x02, 0, 0, 0, 0, 0x01};

Bytes Frame(uint8_t flow, uint32_t seq, size_t length = 100) {
  return MakeFrame(kDst, kSrc, flow, seq, length);
}

Verdict Arrive(FlowChecker& c, const Bytes& f, std::optional<uint64_t> key = {}) {
  return c.Arrive(f.data(), f.size(), key);
}

TEST(StressFrameTest, DamageAnywhereInTheFrameIsCaught) {
  for (size_t length : {kMinFrame, size_t{61}, size_t{1000}, kMaxFrame}) {
    const Bytes good = Frame(2, 70000, length);
    ASSERT_EQ(length, good.size());
    EXPECT_EQ(Verdict::Ok, CheckContents(good.data(), good.size()));
    ASSERT_TRUE(DecodeFrame(good.data(), good.size()));
    EXPECT_EQ(2, DecodeFrame(good.data(), good.size())->flow);
    EXPECT_EQ(70000u, DecodeFrame(good.data(), good.size())->seq);
    // One bit flipped in each place: addresses, flow, sequence, length,
    // pattern, checksum.
    for (size_t at : {size_t{0}, size_t{7}, size_t{16}, size_t{19}, size_t{22}, size_t{30},
                      length / 2, length - 5, length - 1}) {
      Bytes bad = good;
      bad[at] ^= 0x10;
      EXPECT_EQ(Verdict::Corrupt, CheckContents(bad.data(), bad.size()))
          << "length " << length << ", byte " << at;
      EXPECT_FALSE(DecodeFrame(bad.data(), bad.size()));
    }
    // Cut short, or padded behind the checksum.
    EXPECT_EQ(Verdict::Corrupt, CheckContents(good.data(), good.size() - 1));
    Bytes padded = good;
    padded.push_back(0);
    EXPECT_EQ(Verdict::Corrupt, CheckContents(padded.data(), padded.size()));
  }
  // Another ethertype is not a stress frame at all.
  Bytes other = Frame(0, 1);
  other[13] = 0x00;
  EXPECT_EQ(Verdict::Foreign, CheckContents(other.data(), other.size()));
  // Two frames of different flows or numbers differ beyond their header.
  const Bytes a = Frame(0, 1), b = Frame(0, 2), c = Frame(1, 1);
  EXPECT_NE(Bytes(a.begin() + kHeaderBytes, a.end()), Bytes(b.begin() + kHeaderBytes, b.end()));
  EXPECT_NE(Bytes(a.begin() + kHeaderBytes, a.end()), Bytes(c.begin() + kHeaderBytes, c.end()));
}

TEST(StressFlowCheckerTest, DuplicatedReorderedUnknownAndCorruptFramesAreCaughtOnArrival) {
  FlowChecker c("test", 0, 2);
  for (uint32_t s = 0; s < 6; ++s) {
    c.Sent(0, s);
    c.Sent(1, s);
  }
  // Flows interleave freely; each keeps its own order, gaps allowed.
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(0, 0)));
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(1, 0)));
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(0, 2)));
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(1, 1)));
  EXPECT_EQ(0u, c.errors());
  EXPECT_EQ(Verdict::Duplicate, Arrive(c, Frame(0, 2)));
  EXPECT_EQ(Verdict::Duplicate, Arrive(c, Frame(1, 0)));
  EXPECT_EQ(Verdict::Reordered, Arrive(c, Frame(0, 1)));
  EXPECT_EQ(Verdict::Unknown, Arrive(c, Frame(0, 6)));  // never sent
  EXPECT_EQ(Verdict::Unknown, Arrive(c, Frame(2, 0)));  // no such flow
  Bytes bad = Frame(1, 2);
  bad[40] ^= 1;
  EXPECT_EQ(Verdict::Corrupt, Arrive(c, bad));
  EXPECT_EQ(6u, c.errors());
  auto kinds = c.errors_by_kind();
  EXPECT_EQ(2u, kinds["duplicate"]);
  EXPECT_EQ(1u, kinds["reordered"]);
  EXPECT_EQ(2u, kinds["unknown"]);
  EXPECT_EQ(1u, kinds["corrupt"]);
  EXPECT_EQ(6u, c.error_details().size());
  EXPECT_EQ(5u, c.arrived());
}

TEST(StressFlowCheckerTest, KeyedArrivalsAreOrderedByTheirKeysNotByTheCalls) {
  // Where frames are seen out of call order (the wire's tap), their wire
  // times order them: late reports of earlier frames are fine, frames that
  // crossed on the wire are not.
  FlowChecker c("wire", 0, 1);
  for (uint32_t s = 0; s < 10; ++s)
    c.Sent(0, s);
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(0, 1), 200));
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(0, 0), 100));  // reported late
  EXPECT_EQ(Verdict::Ok, Arrive(c, Frame(0, 2), 300));
  EXPECT_EQ(Verdict::Reordered, Arrive(c, Frame(0, 3), 250));  // before frame 2 on the wire
  EXPECT_EQ(Verdict::Duplicate, Arrive(c, Frame(0, 2), 400));
  EXPECT_EQ(2u, c.errors());

  // A crossing that only the whole run shows: 5 then 7 then (reported
  // late) 6 after 7 on the wire, but before the highest seen.
  FlowChecker d("wire", 0, 1);
  for (uint32_t s = 0; s < 10; ++s)
    d.Sent(0, s);
  EXPECT_EQ(Verdict::Ok, Arrive(d, Frame(0, 5), 10));
  EXPECT_EQ(Verdict::Ok, Arrive(d, Frame(0, 7), 30));
  EXPECT_EQ(Verdict::Ok, Arrive(d, Frame(0, 8), 50));
  EXPECT_EQ(Verdict::Ok, Arrive(d, Frame(0, 6), 40));  // after 7 on the wire
  EXPECT_EQ(0u, d.errors());
  d.Account([](FrameId) { return std::optional<std::string>("gap"); });
  EXPECT_EQ(1u, d.errors_by_kind()["reordered"]);
}

TEST(StressFlowCheckerTest, AccountingWantsEverySentFrameArrivedOrLostExactlyOnce) {
  FlowChecker c("test", 0x80, 1);
  const uint8_t flow = 0x80;
  for (uint32_t s = 0; s < 8; ++s)
    c.Sent(flow, s);
  for (uint32_t s : {0u, 1u, 4u, 7u})
    ASSERT_EQ(Verdict::Ok, Arrive(c, Frame(flow, s)));
  const Bytes two = Frame(flow, 2);
  EXPECT_TRUE(c.Lost(two.data(), two.size(), "no link", 5));
  EXPECT_FALSE(c.Lost(two.data(), two.size(), "no link", 6));  // lost twice
  EXPECT_TRUE(c.Lost(FrameId{flow, 3}, "reset", 7));
  const Bytes four = Frame(flow, 4);
  EXPECT_TRUE(c.Lost(four.data(), four.size(), "no link", 8));  // and it arrived
  EXPECT_FALSE(c.Lost(FrameId{flow, 9}, "reset", 9));           // never sent
  EXPECT_EQ(2u, c.errors());
  // 5 is explained by the caller, 6 by nothing.
  std::vector<uint32_t> asked;
  const size_t found = c.Account([&](FrameId id) -> std::optional<std::string> {
    asked.push_back(id.seq);
    if (id.seq == 5) return std::string("dropped in a reset");
    return std::nullopt;
  });
  EXPECT_EQ((std::vector<uint32_t>{5, 6}), asked);
  EXPECT_EQ(2u, found);  // 4 arrived and lost; 6 missing
  auto kinds = c.errors_by_kind();
  EXPECT_EQ(1u, kinds["lost twice"]);
  EXPECT_EQ(1u, kinds["unknown"]);
  EXPECT_EQ(1u, kinds["arrived and lost"]);
  EXPECT_EQ(1u, kinds["missing"]);
  auto causes = c.losses_by_cause();
  EXPECT_EQ(1u, causes["no link"]);
  EXPECT_EQ(1u, causes["reset"]);
  EXPECT_EQ(1u, causes["dropped in a reset"]);
  EXPECT_EQ(3u, c.Losses().size());
}

TEST(StressFlowCheckerTest, LawfulTrafficPassesWithoutErrors) {
  FlowChecker c("test", 0, 3);
  uint32_t next[3] = {};
  uint64_t key = 1;
  for (int i = 0; i < 3000; ++i) {
    const uint8_t flow = static_cast<uint8_t>(i % 3);
    const uint32_t seq = next[flow]++;
    c.Sent(flow, seq);
    if (seq % 7 == 3) {
      c.Lost(FrameId{flow, seq}, "no link", key);
    } else {
      ASSERT_EQ(Verdict::Ok, Arrive(c, Frame(flow, seq, 60 + i % 1455), key)) << i;
    }
    key += 3;
  }
  EXPECT_EQ(0u, c.Account());
  EXPECT_EQ(0u, c.errors());
  EXPECT_EQ(3000u, c.sent());
  EXPECT_EQ(3000u - c.losses_by_cause()["no link"], c.arrived());
}

}  // namespace
}  // namespace usbeth::stress
