// The configured depth of the transfer queues: how many bulk-out transfers
// the bus driver holds at once, how many reads are outstanding, and that the
// keywords are brought into range.
#include <gtest/gtest.h>

#include "datapath_bench.h"

namespace usbeth::test {
namespace {

BenchOptions Depths(uint32_t tx, uint32_t rx) {
  BenchOptions options;
  options.completion = host::usb::CompletionMode::Deferred;
  options.registry["TxQueueDepth"] = tx;
  options.registry["RxQueueDepth"] = rx;
  return options;
}

// Reads at the bus driver: the lone read, or those in the reading ring.
LONG ReadsOutstanding(DatapathBench& bench) {
  const Adapter* adapter = bench.adapter();
  return static_cast<LONG>(adapter->RxReadingTail - adapter->RxReadingHead) +
         adapter->RxLoneReadOut;
}

// Sends a burst at once, with nothing completed yet, and counts what reached
// the bus driver beyond what it held before the burst.
size_t BulkOutAtBusAfterBurst(DatapathBench& bench, size_t frames) {
  const size_t before = bench.bus().pending_irps();
  for (size_t i = 0; i < frames; ++i) {
    uint64_t id = bench.protocol().send(bench.FrameToPartner(100 + i, static_cast<uint8_t>(i)), {},
                                        host::ndis::CallOptions{DISPATCH_LEVEL});
    EXPECT_EQ(NDIS_STATUS_PENDING, bench.protocol().send_status(id));
  }
  return bench.bus().pending_irps() - before;
}

TEST(QueueDepthTest, TheBusDriverHoldsAtMostTheConfiguredTransfersOfEachDirection) {
  struct Case {
    uint32_t tx, rx;
    size_t tx_expected, rx_expected;
  } cases[] = {{1, 1, 1, 1}, {4, 3, 4, 3}, {16, 16, 12, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "TxQueueDepth " << c.tx << " RxQueueDepth " << c.rx);
    DatapathBench bench(Depths(c.tx, c.rx));
    EXPECT_EQ(ReadsOutstanding(bench), static_cast<LONG>(c.rx_expected));
    EXPECT_EQ(BulkOutAtBusAfterBurst(bench, 12), c.tx_expected);
    ASSERT_TRUE(bench.RunUntilTxIdle());
    EXPECT_EQ(bench.board().frames_sent_to_partner().size(), 12u);
  }
}

// A frame whose transfer is a multiple of the packet size goes down with its
// zero-length transfer at once when the bus driver has room for both, and
// nothing comes between them: two such frames sent back to back are four
// transfers at the bus driver before any completes.
TEST(QueueDepthTest, AFrameAndItsZeroLengthTransferGoDownTogether) {
  DatapathBench bench(Depths(4, 1));
  const size_t before = bench.bus().pending_irps();
  // 62 bytes and the 2-byte length prefix: one 64-byte packet.
  for (uint8_t i = 0; i < 2; ++i) {
    uint64_t id = bench.protocol().send(bench.FrameToPartner(62, i), {},
                                        host::ndis::CallOptions{DISPATCH_LEVEL});
    EXPECT_EQ(NDIS_STATUS_PENDING, bench.protocol().send_status(id));
    EXPECT_EQ(bench.bus().pending_irps() - before, 2u * (i + 1)) << "after frame " << int(i);
  }
  ASSERT_TRUE(bench.RunUntilTxIdle());
  EXPECT_EQ(bench.board().frames_sent_to_partner().size(), 2u);
  EXPECT_EQ(bench.board().counters().tx_zero_length_transfers, 0u);
  EXPECT_EQ(bench.board().counters().tx_trailing_discarded, 0u);
}

// Out-of-range settings: 0 means one, more than the deepest queue is cut to
// it, and the reads always leave a receive descriptor for a frame waiting to
// be indicated.
TEST(QueueDepthTest, SettingsOutOfRangeAreBroughtIntoIt) {
  {
    DatapathBench bench(Depths(0, 0));
    EXPECT_EQ(bench.adapter()->TxQueueDepth, 1u);
    EXPECT_EQ(bench.adapter()->RxQueueDepth, 1u);
  }
  {
    DatapathBench bench(Depths(0x40, 0x40));
    EXPECT_EQ(bench.adapter()->TxQueueDepth, 16u);
    EXPECT_EQ(bench.adapter()->RxQueueDepth, 16u);
  }
  {
    BenchOptions options = Depths(2, 8);
    options.registry["RxPacketDesc"] = 3;
    DatapathBench bench(options);
    EXPECT_EQ(bench.adapter()->RxQueueDepth, 2u);
    EXPECT_EQ(ReadsOutstanding(bench), 2);
  }
}

// A bulk-in transfer as the device frames it: the frame, 4 CRC bytes, and
// the trailer with the length of frame and CRC and a status byte of 0.
std::vector<uint8_t> ReadOf(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> t = frame;
  t.insert(t.end(), 4, 0xEE);
  const uint16_t length = static_cast<uint16_t>(frame.size() + 4);
  t.insert(t.end(), {uint8_t(length), uint8_t(length >> 8), 0x00, 0x00});
  return t;
}

// Reads whose completions run out of the order they went down in, as on
// several processors: nothing is indicated until every read before it has
// ended, then the frames go up in the order of the reads, a read that held
// nothing is read into again, and the reads are outstanding at full depth
// once more. Rounds repeat it, so that the ring wraps.
TEST(QueueDepthTest, ReadsEndingOutOfOrderAreIndicatedInTheOrderTheyWentDown) {
  DatapathBench bench(Depths(1, 4));
  bench.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Hold : BulkAction::Forward;
  };
  // The reads passed at start-up end with these frames; those after them are
  // held.
  std::vector<std::vector<uint8_t>> expected;
  for (uint8_t i = 0; i < 4; ++i) {
    expected.push_back(bench.FrameFromPartner(60 + i, i));
    bench.board().send_from_partner(bench.board().first_phy_address(), expected.back());
  }
  ASSERT_TRUE(
      bench.RunUntil([&] { return bench.protocol().received_count() >= 4; }, host::kSecond));
  for (uint8_t round = 0; round < 5; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << int(round));
    std::vector<PIRP> reads = bench.interposer().held();
    ASSERT_EQ(reads.size(), 4u);
    const size_t received = bench.protocol().received_count();
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t i = 0; i < 4; ++i)
      frames.push_back(bench.FrameFromPartner(100 + 10 * round + i, uint8_t(16 * round + i)));
    // The third, the second (nothing in it) and the fourth end first.
    ASSERT_TRUE(bench.interposer().complete_held_read(reads[2], ReadOf(frames[2])));
    ASSERT_TRUE(bench.interposer().complete_held_read(reads[1], {}));
    ASSERT_TRUE(bench.interposer().complete_held_read(reads[3], ReadOf(frames[3])));
    bench.RunFor(10 * host::kMillisecond);
    EXPECT_EQ(bench.protocol().received_count(), received);
    // Only the oldest is left: no read went down before it ended.
    EXPECT_EQ(bench.interposer().held_count(), 1u);
    ASSERT_TRUE(bench.interposer().complete_held_read(reads[0], ReadOf(frames[0])));
    ASSERT_TRUE(bench.RunUntil([&] { return bench.protocol().received_count() >= received + 3; },
                               host::kSecond));
    for (int i : {0, 2, 3})
      expected.push_back(frames[i]);
    EXPECT_EQ(bench.interposer().held_count(), 4u);
    EXPECT_EQ(ReadsOutstanding(bench), 4);
    EXPECT_EQ(bench.adapter()->RxReadsEndedEarly, 0u);
  }
  std::vector<std::vector<uint8_t>> received;
  for (auto& r : bench.protocol().received())
    received.push_back(r.data);
  EXPECT_EQ(received, expected);
}

// Many reads outstanding and a burst from the partner: every frame is
// indicated once, in the order it was on the wire, for every seed's choice
// of completion order and IRQL.
class DeepReceiveTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(DeepReceiveTest, ABurstIsIndicatedInWireOrder) {
  BenchOptions options = Depths(4, 4);
  options.completion = host::usb::CompletionMode::Seeded;
  options.seed = GetParam();
  DatapathBench bench(options);
  std::vector<std::vector<uint8_t>> sent;
  // Bursts of five, which the receive FIFO holds whole.
  for (uint8_t i = 0; i < 30; ++i) {
    sent.push_back(bench.FrameFromPartner(60 + (i * 97) % 1455, i));
    bench.board().send_from_partner(bench.board().first_phy_address(), sent.back());
    if (i % 5 == 4) bench.RunFor(5 * host::kMillisecond);
  }
  ASSERT_TRUE(bench.RunUntil([&] { return bench.protocol().received_count() >= sent.size(); },
                             2 * host::kSecond))
      << bench.protocol().received_count() << " received, "
      << bench.board().counters().rx_fifo_overflows << " receive FIFO overflows";
  std::vector<std::vector<uint8_t>> received;
  for (auto& r : bench.protocol().received())
    received.push_back(r.data);
  EXPECT_EQ(sent, received);
  EXPECT_EQ(ReadsOutstanding(bench), 4);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DeepReceiveTest, ::testing::Range<uint64_t>(1, 11));

}  // namespace
}  // namespace usbeth::test
