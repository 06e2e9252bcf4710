// Sends on several processors at once, completions inside IofCallDriver,
// and many seeded orders: every frame reaches the wire whole, in each
// sender's order, with its zero-length transfer where one is due.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "datapath_bench.h"

namespace usbeth::test {
namespace {

// Frame sizes whose transfers hit every case: padded, exact multiples of 64
// (followed by a zero-length transfer), and the maximum.
constexpr size_t kSizes[] = {62, 100, 126, 60, 190, 1514, 254, 42, 1022, 318};

// A frame that names its sender and its place in that sender's sequence.
std::vector<uint8_t> TaggedFrame(DatapathBench& bench, size_t size, uint8_t sender, uint16_t seq) {
  std::vector<uint8_t> frame = bench.FrameToPartner(size, static_cast<uint8_t>(seq));
  frame[14] = sender;
  frame[15] = static_cast<uint8_t>(seq >> 8);
  frame[16] = static_cast<uint8_t>(seq);
  return frame;
}

// Checks what the wire carried against what each sender had accepted.
void ExpectWireMatches(DatapathBench& bench,
                       const std::vector<std::vector<std::vector<uint8_t>>>& accepted) {
  std::vector<size_t> next(accepted.size(), 0);
  size_t total = 0;
  for (auto& sender : accepted)
    total += sender.size();
  std::vector<hw::WireFrame> wire = bench.board().frames_sent_to_partner();
  ASSERT_EQ(total, wire.size());
  for (auto& w : wire) {
    ASSERT_GE(w.bytes.size(), 17u);
    const uint8_t sender = w.bytes[14];
    ASSERT_LT(sender, accepted.size());
    ASSERT_LT(next[sender], accepted[sender].size());
    const std::vector<uint8_t>& expected = accepted[sender][next[sender]++];
    ASSERT_GE(w.bytes.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), w.bytes.begin()))
        << "sender " << int(sender) << " frame " << next[sender] - 1;
  }
  hw::Counters counters = bench.board().counters();
  EXPECT_EQ(0u, counters.tx_trailing_discarded);
  EXPECT_EQ(0u, counters.tx_short_transfers);
  EXPECT_EQ(0u, counters.tx_zero_length_transfers);
  EXPECT_EQ(0u, counters.tx_bad_length);
  // Success for every frame sent: a send the driver refused for want of a
  // descriptor stays with NDIS until the driver takes it.
  size_t succeeded = 0;
  for (auto& c : bench.protocol().send_completions()) {
    EXPECT_EQ(NDIS_STATUS_SUCCESS, c.status);
    succeeded += c.status == NDIS_STATUS_SUCCESS;
  }
  EXPECT_EQ(total, succeeded);
  EXPECT_EQ(0u, bench.miniport().sends_queued());
}

// Both transfer queues at `depth`: bulk-out transfers at the bus at once and
// reads outstanding.
BenchOptions WithQueueDepth(BenchOptions options, uint32_t depth) {
  options.registry["TxQueueDepth"] = depth;
  options.registry["RxQueueDepth"] = depth;
  return options;
}

class SeededTransmitTest : public ::testing::TestWithParam<std::tuple<uint64_t, uint32_t>> {};

TEST_P(SeededTransmitTest, BurstsReachTheWireWholeAndInOrder) {
  BenchOptions options;
  options.seed = std::get<0>(GetParam());
  DatapathBench bench(WithQueueDepth(options, std::get<1>(GetParam())));
  std::vector<std::vector<std::vector<uint8_t>>> accepted(1);
  for (uint16_t seq = 0; seq < 60; seq++) {
    std::vector<uint8_t> frame = TaggedFrame(bench, kSizes[seq % 10], 0, seq);
    uint64_t id = bench.protocol().send(frame, {}, host::ndis::CallOptions{DISPATCH_LEVEL});
    if (bench.protocol().send_status(id) == NDIS_STATUS_PENDING) accepted[0].push_back(frame);
    // Let the bus and the completions interleave with the sends.
    if (bench.kernel().scheduler().random(3) == 0)
      bench.RunFor(bench.kernel().scheduler().random(3) * host::kMillisecond);
  }
  ASSERT_TRUE(bench.RunUntilTxIdle()) << "seed " << std::get<0>(GetParam());
  ExpectWireMatches(bench, accepted);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededTransmitTest,
                         ::testing::Combine(::testing::Range<uint64_t>(1, 41),
                                            ::testing::Values(1u, 2u, 4u)));

class ThreadedTransmitTest
    : public ::testing::TestWithParam<std::tuple<host::usb::CompletionMode, uint32_t>> {};

TEST_P(ThreadedTransmitTest, SendersOnSeveralProcessorsKeepFramesWholeAndOrdered) {
  BenchOptions options;
  options.mode = host::Mode::Threaded;
  options.processors = 4;
  options.time_scale = 20.0;
  options.completion = std::get<0>(GetParam());
  DatapathBench bench(WithQueueDepth(options, std::get<1>(GetParam())));
  constexpr int kSenders = 4;
  constexpr uint16_t kFrames = 60;
  std::vector<std::vector<std::vector<uint8_t>>> accepted(kSenders);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; s++) {
    senders.emplace_back([&, s] {
      for (uint16_t seq = 0; seq < kFrames; seq++) {
        std::vector<uint8_t> frame = TaggedFrame(bench, kSizes[(seq + s) % 10], s, seq);
        uint64_t id = bench.protocol().send(frame, {}, host::ndis::CallOptions{DISPATCH_LEVEL});
        ASSERT_EQ(NDIS_STATUS_PENDING, bench.protocol().send_status(id));
        accepted[s].push_back(frame);
      }
    });
  }
  for (auto& t : senders)
    t.join();
  ASSERT_TRUE(bench.RunUntilTxIdle(20 * host::kSecond));
  ExpectWireMatches(bench, accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Completion, ThreadedTransmitTest,
    ::testing::Combine(::testing::Values(host::usb::CompletionMode::Seeded,
                                         host::usb::CompletionMode::BeforeReturn,
                                         host::usb::CompletionMode::Deferred),
                       ::testing::Values(1u, 2u, 4u)));

class ThreadedReceiveTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ThreadedReceiveTest, FramesFromTheWireWhileSendingArriveInOrder) {
  BenchOptions options;
  options.mode = host::Mode::Threaded;
  options.processors = 4;
  options.time_scale = 20.0;
  options.completion = host::usb::CompletionMode::BeforeReturn;
  DatapathBench bench(WithQueueDepth(options, GetParam()));
  const uint8_t phy = bench.board().first_phy_address();
  std::vector<std::vector<uint8_t>> sent;
  std::thread sender([&] {
    for (uint16_t seq = 0; seq < 40; seq++) {
      bench.protocol().send(TaggedFrame(bench, kSizes[seq % 10], 0, seq), {},
                            host::ndis::CallOptions{DISPATCH_LEVEL});
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  // The partner keeps at most eight frames ahead of the protocol, so that a
  // machine too busy to run the adapter's threads for a while does not
  // overflow the receive FIFO, which would be a loss this test does not ask
  // about.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (uint8_t i = 0; i < 40; i++) {
    while (bench.protocol().received_count() + 8 < i && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    sent.push_back(bench.FrameFromPartner(60 + (i % 8) * 150, i));
    bench.board().send_from_partner(phy, sent.back());
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  sender.join();
  ASSERT_TRUE(bench.RunUntil([&] { return bench.protocol().received_count() >= sent.size(); },
                             20 * host::kSecond))
      << bench.protocol().received_count() << " of " << sent.size() << " received, "
      << bench.board().counters().rx_fifo_overflows << " receive FIFO overflows";
  std::vector<std::vector<uint8_t>> received;
  for (auto& r : bench.protocol().received())
    received.push_back(r.data);
  EXPECT_EQ(sent, received);
  EXPECT_TRUE(bench.RunUntilTxIdle(20 * host::kSecond));
}

INSTANTIATE_TEST_SUITE_P(Depth, ThreadedReceiveTest, ::testing::Values(1u, 2u, 4u));

// The statistics are counted by the completions, read by queries and zeroed
// by a reset, all on different processors: each access must be whole (under
// ThreadSanitizer a plain access is reported as the data race it is).
TEST(ThreadedStatisticsTest, QueriesAndAResetWhileFramesFlowReadWholeCounters) {
  BenchOptions options;
  options.mode = host::Mode::Threaded;
  options.processors = 4;
  options.time_scale = 20.0;
  DatapathBench bench(options);
  const uint8_t phy = bench.board().first_phy_address();
  constexpr uint16_t kFrames = 400;
  std::atomic<bool> done{false};
  std::thread traffic([&] {
    for (uint16_t i = 0; i < kFrames; i++) {
      bench.protocol().send(TaggedFrame(bench, kSizes[i % 10], 0, i), {},
                            host::ndis::CallOptions{DISPATCH_LEVEL});
      bench.board().send_from_partner(phy, bench.FrameFromPartner(60 + (i % 8) * 150, i));
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    done = true;
  });
  constexpr NDIS_OID kCounters[] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_RCV_ERROR,
                                    OID_GEN_RCV_CRC_ERROR, OID_GEN_MEDIA_CONNECT_STATUS};
  size_t queries = 0;
  bool reset_done = false;
  while (!done) {
    for (NDIS_OID oid : kCounters) {
      EXPECT_TRUE(bench.protocol().query_ulong(oid)) << std::hex << oid;
      ++queries;
    }
    if (!reset_done && queries > 20) {
      EXPECT_EQ(NDIS_STATUS_SUCCESS, bench.protocol().reset());
      reset_done = true;
    }
  }
  traffic.join();
  EXPECT_TRUE(reset_done);
  ASSERT_TRUE(bench.RunUntilTxIdle(20 * host::kSecond));
  bench.RunFor(100 * host::kMillisecond);
  // Counted since the reset: no more than went each way.
  EXPECT_LE(bench.protocol().query_ulong(OID_GEN_XMIT_OK).value_or(~0u),
            bench.board().counters().wire_tx_frames);
  EXPECT_LE(bench.protocol().query_ulong(OID_GEN_RCV_OK).value_or(~0u),
            bench.protocol().received_count());
  // A reset with nothing moving leaves every counter at zero.
  EXPECT_EQ(NDIS_STATUS_SUCCESS, bench.protocol().reset());
  for (NDIS_OID oid : {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_RCV_ERROR})
    EXPECT_EQ(0u, bench.protocol().query_ulong(oid).value_or(~0u)) << std::hex << oid;
}

}  // namespace
}  // namespace usbeth::test
