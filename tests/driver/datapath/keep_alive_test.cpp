// Keep-alive frames: pacing, content, the transmit descriptors they borrow,
// and their place in the bulk-out order.
#include <gtest/gtest.h>

#include "datapath_bench.h"
#include "ndis/state.h"

namespace usbeth::test {
namespace {

BenchOptions HomeBoard() {
  BenchOptions options;
  options.board = hw::boards::SingleHome(hw::phyid::kHomeB);
  return options;
}

class KeepAliveTest : public ::testing::Test {
 protected:
  DatapathBench bench_{HomeBoard()};

  void SetUp() override {
    ASSERT_EQ(1, bench_.adapter()->KeepAliveEnabled);
    // The test drives the expiries itself.
    DatapathBench::AtDispatch([&] {
      BOOLEAN cancelled;
      NdisMCancelTimer(&bench_.adapter()->KeepAliveTimer, &cancelled);
    });
    bench_.adapter()->KeepAliveTicks = 0;
  }
  void Expire(int times) {
    for (int i = 0; i < times; i++) {
      DatapathBench::AtDispatch(
          [&] { KeepAliveTimerExpired(nullptr, bench_.adapter(), nullptr, nullptr); });
      bench_.RunFor(5 * host::kMillisecond);
    }
  }
  std::vector<BulkTransfer> KeepAlives() {
    std::vector<BulkTransfer> out;
    for (auto& t : bench_.interposer().bulk_out()) {
      if (t.length == 32 && t.bytes[0] == 0x20) out.push_back(t);
    }
    return out;
  }
  static std::vector<uint8_t> Expected() {
    std::vector<uint8_t> bytes(32, 0);
    bytes[0] = 0x20;
    bytes[13] = 0x01;
    return bytes;
  }
};

TEST_F(KeepAliveTest, EveryFourthExpirySendsOneFixedTransfer) {
  // Stale bytes in every transmit buffer must not go out again.
  for (TransferDescriptor* d = bench_.adapter()->TxFreeQueue.Front; d; d = d->Next) {
    memset(d->Buffer, 0xA5, 64);
  }
  for (size_t expected = 1; expected <= 3; expected++) {
    Expire(3);
    EXPECT_EQ(expected - 1, KeepAlives().size());
    Expire(1);
    ASSERT_EQ(expected, KeepAlives().size());
    EXPECT_EQ(Expected(), KeepAlives().back().bytes);
  }
  EXPECT_TRUE(bench_.TxIdle());
  EXPECT_EQ(0u, bench_.adapter()->Statistics.TxGoodFrames);
}

TEST_F(KeepAliveTest, TimerRunsByItselfEveryFourSeconds) {
  DatapathBench::AtDispatch([&] { NdisMSetTimer(&bench_.adapter()->KeepAliveTimer, 1000); });
  bench_.RunFor(4 * host::kSecond + 500 * host::kMillisecond);
  EXPECT_EQ(1u, KeepAlives().size());
  bench_.RunFor(8 * host::kSecond);
  EXPECT_EQ(3u, KeepAlives().size());
}

TEST_F(KeepAliveTest, RefusedTransferReturnsItsDescriptorOnceAndKeepAlivesGoOn) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return !t.in && t.length == 32 ? BulkAction::FailInline : BulkAction::Forward;
  };
  Expire(4);
  EXPECT_EQ(1u, KeepAlives().size());
  EXPECT_TRUE(bench_.TxIdle());
  EXPECT_EQ(kStateRunning, bench_.adapter()->AdapterState);
  // The timer was armed again although the frame failed.
  bench_.interposer().rule = nullptr;
  bench_.RunFor(4 * host::kSecond + 500 * host::kMillisecond);
  EXPECT_EQ(2u, KeepAlives().size());
}

TEST_F(KeepAliveTest, NoFreeDescriptorMarksStarvedAndSendsNothing) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::Hold;
  };
  for (ULONG i = 0; i < bench_.adapter()->TxDescriptorCount; i++) {
    bench_.protocol().send(bench_.FrameToPartner(100), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
  }
  Expire(4);
  EXPECT_EQ(1, bench_.adapter()->TxStarved);
  EXPECT_TRUE(KeepAlives().empty());
  bench_.interposer().rule = nullptr;
  while (bench_.interposer().complete_held(STATUS_SUCCESS)) {
  }
  EXPECT_TRUE(bench_.RunUntilTxIdle());
}

TEST_F(KeepAliveTest, KeepAliveHoldsItsDescriptorUntilComplete) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::Hold;
  };
  const LONG free_before = bench_.adapter()->TxFreeQueue.Count;
  Expire(4);
  EXPECT_EQ(free_before - 1, bench_.adapter()->TxFreeQueue.Count);
  ASSERT_TRUE(bench_.interposer().complete_held(STATUS_SUCCESS));
  EXPECT_EQ(free_before, bench_.adapter()->TxFreeQueue.Count);
}

TEST_F(KeepAliveTest, NeverComesBetweenAFrameAndItsZeroLengthTransfer) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::Hold;
  };
  bench_.protocol().send(bench_.FrameToPartner(62), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
  Expire(4);
  while (bench_.interposer().complete_held(STATUS_SUCCESS)) {
  }
  std::vector<ULONG> lengths;
  for (auto& t : bench_.interposer().bulk_out())
    lengths.push_back(t.length);
  EXPECT_EQ((std::vector<ULONG>{64, 0, 32}), lengths);
  EXPECT_TRUE(bench_.TxIdle());
}

// With two transmit descriptors, one held by a frame at the bus and the other
// by a keep-alive, MiniportSend answers NDIS_STATUS_RESOURCES; NDIS keeps the
// packet and gives it again once a descriptor is back.
TEST(KeepAliveDescriptorTest, KeepAliveHoldingTheLastDescriptorMakesASendWait) {
  BenchOptions options = HomeBoard();
  options.registry = {{"TxPacketDesc", 2}};
  DatapathBench bench(options);
  ASSERT_EQ(2u, bench.adapter()->TxDescriptorCount);
  DatapathBench::AtDispatch([&] {
    BOOLEAN cancelled;
    NdisMCancelTimer(&bench.adapter()->KeepAliveTimer, &cancelled);
  });
  bench.adapter()->KeepAliveTicks = 0;
  bench.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::Hold;
  };
  auto send = [&](uint8_t tag) {
    return bench.protocol().send_status(bench.protocol().send(
        bench.FrameToPartner(100, tag), {}, host::ndis::CallOptions{DISPATCH_LEVEL}));
  };
  EXPECT_EQ(NDIS_STATUS_PENDING, send(1));
  for (int i = 0; i < 4; i++) {
    DatapathBench::AtDispatch(
        [&] { KeepAliveTimerExpired(nullptr, bench.adapter(), nullptr, nullptr); });
  }
  ASSERT_EQ(0, bench.adapter()->TxFreeQueue.Count);  // the frame and the keep-alive
  EXPECT_EQ(0u, bench.miniport().sends_refused());
  EXPECT_EQ(NDIS_STATUS_PENDING, send(2));
  EXPECT_EQ(1u, bench.miniport().sends_refused());
  EXPECT_EQ(1u, bench.miniport().sends_queued());
  EXPECT_EQ(1, bench.adapter()->TxStarved);
  bench.interposer().rule = nullptr;
  while (bench.interposer().complete_held(STATUS_SUCCESS)) {
  }
  ASSERT_TRUE(bench.RunUntilTxIdle());
  std::vector<BulkTransfer> out = bench.interposer().bulk_out();
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ(32u, out[1].length);  // the keep-alive
  EXPECT_EQ(bench.FrameToPartner(100, 2),
            std::vector<uint8_t>(out[2].bytes.begin() + 2, out[2].bytes.begin() + 102));
}

TEST(KeepAliveOtherPhyTest, HomePhy6B90NeverArmsTheKeepAliveTimer) {
  BenchOptions options;
  options.board = hw::boards::SingleHome(hw::phyid::kHomeA);
  DatapathBench bench(options);
  EXPECT_EQ(0, bench.adapter()->KeepAliveEnabled);
  EXPECT_EQ(0, bench.adapter()->KeepAliveTimerStarted);
  {
    host::ndis::State& s = host::ndis::state();
    std::lock_guard<host::HostMutex> lock(s.mutex);
    EXPECT_EQ(0u, s.timers.count(&bench.adapter()->KeepAliveTimer));  // never initialized
  }
  bench.RunFor(10 * host::kSecond);
  for (auto& t : bench.interposer().bulk_out())
    EXPECT_NE(32u, t.length);
}

TEST(KeepAliveOtherPhyTest, EthernetPhyNeverSendsKeepAlives) {
  DatapathBench bench;
  EXPECT_EQ(0, bench.adapter()->KeepAliveEnabled);
  bench.RunFor(10 * host::kSecond);
  for (auto& t : bench.interposer().bulk_out())
    EXPECT_NE(32u, t.length);
}

}  // namespace
}  // namespace usbeth::test
