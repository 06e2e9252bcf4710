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
