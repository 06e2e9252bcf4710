// MII management access: the command blocks the controller receives, the
// done-bit handling, and the asynchronous reads the link monitor is built on.

#include <gtest/gtest.h>

#include "phy_rig.h"

namespace usbeth_test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kWdmTag = 0x206D6457;  // "Wdm "

hw::BoardConfig BoardWithMiiDelay(uint64_t mii_ns) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.timing.mii_ns = mii_ns;
  return config;
}

class MiiTest : public ::testing::Test {
 protected:
  MiiTest() : rig_(hw::boards::SingleEthernet()) {}
  usbeth::Adapter* a() { return rig_.a(); }
  hw::Board& board() { return rig_.board(); }
  PhyRig rig_;
};

TEST_F(MiiTest, WriteSendsTheCommandBlockAndReadsBackTheControlRegister) {
  usbeth::PhyWrite(a(), 1, 4, 0x01E1);
  EXPECT_EQ(BlockWrites(board(), 0x25), (std::vector<Bytes>{{0x01, 0xE1, 0x01, 0x24}}));
  ASSERT_EQ(board().register_reads().size(), 1u);
  EXPECT_EQ(board().register_reads()[0].first, 0x28);
  EXPECT_EQ(board().register_reads()[0].count, 2);
  EXPECT_EQ(board().peek_phy(1, 4), 0x01E1);
}

TEST_F(MiiTest, ReadSendsTheCommandBlockAndReturnsTheDataRegisters) {
  USHORT value = 0;
  usbeth::PhyRead(a(), 1, 3, &value);
  EXPECT_EQ(BlockWrites(board(), 0x25), (std::vector<Bytes>{{0x01, 0x00, 0x00, 0x43}}));
  EXPECT_EQ(RegisterReads(board(), 0x25, 4), 1u);
  EXPECT_EQ(value, board().peek_phy(1, 3));
  EXPECT_EQ(value & 0xFFF0, 0x6210);
}

TEST_F(MiiTest, SelectPhyAddressIssuesAReadItNeverCollects) {
  usbeth::SelectPhyAddress(a(), 3);
  EXPECT_EQ(BlockWrites(board(), 0x25), (std::vector<Bytes>{{0x03, 0x00, 0x00, 0x43}}));
  EXPECT_TRUE(board().register_reads().empty());
  EXPECT_EQ(board().peek_register(0x25), 0x03);
}

TEST(MiiDoneBitTest, LateDoneBitIsWaitedForAndTheFreshValueReturned) {
  // Each register request takes a bus frame (1 ms): the done bit is still
  // clear at the first read-back.
  PhyRig rig(BoardWithMiiDelay(2500 * hw::kMicrosecond));
  USHORT value = 0;
  usbeth::PhyRead(rig.a(), 1, 2, &value);
  EXPECT_EQ(value, rig.board().peek_phy(1, 2));
  size_t read_backs = RegisterReads(rig.board(), 0x25, 4);
  EXPECT_GE(read_backs, 2u);
  EXPECT_LE(read_backs, 1 + usbeth::kMiiDoneRetries);

  usbeth::PhyWrite(rig.a(), 1, 4, 0x0021);
  rig.RunUntilIdle();
  EXPECT_EQ(rig.board().peek_phy(1, 4), 0x0021);
}

TEST(MiiDoneBitTest, DoneBitThatNeverShowsEndsBothOperationsWithinBounds) {
  PhyRig rig(BoardWithMiiDelay(hw::kNever));
  host::Nanoseconds start = rig.now();
  usbeth::PhyWrite(rig.a(), 1, 0, 0x1200);
  EXPECT_EQ(RegisterReads(rig.board(), 0x28, 2), 1 + usbeth::kMiiDoneRetries);

  USHORT value = 0xBEEF;
  usbeth::PhyRead(rig.a(), 1, 1, &value);
  EXPECT_EQ(RegisterReads(rig.board(), 0x25, 4), 1 + usbeth::kMiiDoneRetries);
  // A value is always stored: the data registers as last read back.
  Bytes data = rig.board().peek_registers(0x26, 2);
  EXPECT_EQ(value, data[0] | data[1] << 8);
  EXPECT_NE(value, 0xBEEF);
  // Bounded: a few milliseconds of virtual time for both.
  EXPECT_LT(rig.now() - start, 30 * host::kMillisecond);
}

TEST(MiiDoneBitTest, StaleDoneBitOfAFailedReadBackIsNeverTakenAsTheAnswer) {
  PhyRig rig(hw::boards::SingleEthernet());
  // The buffer holds a finished read of an earlier command...
  rig.a()->RegReadBuffer[1] = 0x34;
  rig.a()->RegReadBuffer[2] = 0x12;
  rig.a()->RegReadBuffer[3] = 0x80;
  // ...and no request of this read can be sent.
  host::faults().fail_rate(host::FaultSite::IrpAllocation, 1.0);
  USHORT value = 0;
  usbeth::PhyRead(rig.a(), 1, 1, &value);
  host::faults().reset();
  EXPECT_EQ(value, 0xFFFF);
}

// Asynchronous access, driven as a link chain drives it.
struct StepLog {
  int runs = 0;
  usbeth::StepRoutine next_step_seen = nullptr;
  USHORT value = 0;
};
StepLog g_log;
ULONG RecordStep(usbeth::Adapter* a) {
  ++g_log.runs;
  g_log.next_step_seen = a->NextStep;
  g_log.value = static_cast<USHORT>(a->RegReadBuffer[0] | a->RegReadBuffer[1] << 8);
  return usbeth::kOk;
}

class MiiAsyncTest : public ::testing::Test {
 protected:
  static hw::BoardConfig Board() {
    hw::BoardConfig config = hw::boards::SingleEthernet();
    config.timing.autoneg_ns = 1 * hw::kMillisecond;
    return config;
  }
  MiiAsyncTest() : rig_(Board()) { g_log = StepLog(); }
  void AtDispatch(const std::function<void()>& fn) {
    host::run_at_irql(DISPATCH_LEVEL, "link chain step", fn);
  }
  usbeth::Adapter* a() { return rig_.a(); }
  hw::Board& board() { return rig_.board(); }
  PhyRig rig_;
};

TEST_F(MiiAsyncTest, ReadCollectsTheDataRegistersThenRunsTheContinuation) {
  AtDispatch([&] { usbeth::PhyReadAsync(a(), 1, 2, RecordStep); });
  rig_.RunUntilIdle();
  EXPECT_EQ(g_log.runs, 1);
  EXPECT_EQ(g_log.next_step_seen, &RecordStep);
  EXPECT_EQ(g_log.value, board().peek_phy(1, 2));
  EXPECT_EQ(MiiCommands(board()), std::vector<MiiCommand>{MiiRead(1, 2)});
  EXPECT_EQ(RegisterReads(board(), 0x26, 2), 1u);
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
}

TEST_F(MiiAsyncTest, WriteRunsNextStepAfterTheCommandBlock) {
  a()->NextStep = RecordStep;
  AtDispatch([&] { usbeth::PhyWriteAsync(a(), 1, 0, 0x0C00); });
  rig_.RunUntilIdle();
  EXPECT_EQ(g_log.runs, 1);
  EXPECT_EQ(MiiCommands(board()), std::vector<MiiCommand>{MiiWrite(1, 0, 0x0C00)});
  EXPECT_TRUE(board().phy_state(1).isolated);
}

TEST_F(MiiAsyncTest, StatusWithLinkUpIsReadOnce) {
  rig_.RunFor(100 * host::kMillisecond);  // let the link come up
  USHORT ignored = 0;
  usbeth::PhyRead(a(), 1, 1, &ignored);  // clear the latch of the power-on link
  board().clear_logs();
  AtDispatch([&] { usbeth::ReadPhyStatusAsync(a(), 1, RecordStep); });
  rig_.RunUntilIdle();
  EXPECT_EQ(g_log.runs, 1);
  EXPECT_EQ(MiiReadsOf(board(), 1, 1), 1u);
  EXPECT_NE(g_log.value & 0x0004, 0);
  EXPECT_EQ(a()->StatusPhyAddress, 1);
}

TEST_F(MiiAsyncTest, StatusWithLinkDownIsReadTwiceAndTheSecondWordDelivered) {
  board().plug(1, false);
  rig_.RunFor(10 * host::kMillisecond);
  board().clear_logs();
  AtDispatch([&] { usbeth::ReadPhyStatusAsync(a(), 1, RecordStep); });
  rig_.RunUntilIdle();
  EXPECT_EQ(g_log.runs, 1);
  EXPECT_EQ(MiiReadsOf(board(), 1, 1), 2u);
  EXPECT_EQ(g_log.value & 0x0004, 0);
}

// Only a status word of all ones (no PHY at that address) is taken for no
// answer and handed on as 0; a word with one byte 0xFF is a real status and
// goes on as read (at once, its link bit being set).
TEST_F(MiiAsyncTest, OnlyAnAllOnesStatusIsTakenForNoAnswer) {
  a()->StatusStep = RecordStep;
  a()->StatusPhyAddress = 1;
  for (const auto& bytes : {std::pair<uint8_t, uint8_t>{0xFF, 0x78}, {0x2D, 0xFF}}) {
    g_log = StepLog();
    a()->RegReadBuffer[0] = bytes.first;
    a()->RegReadBuffer[1] = bytes.second;
    AtDispatch([&] { usbeth::PhyStatusCheckStep(a()); });
    EXPECT_EQ(g_log.runs, 1);
    EXPECT_EQ(g_log.value, bytes.first | bytes.second << 8);
    EXPECT_TRUE(MiiCommands(board()).empty());  // no second read
  }
  // All ones, from an address nobody answers on: the link bit is not
  // believed, the second read answers all ones again, and 0 is handed on.
  g_log = StepLog();
  a()->StatusPhyAddress = 5;
  a()->RegReadBuffer[0] = 0xFF;
  a()->RegReadBuffer[1] = 0xFF;
  AtDispatch([&] { usbeth::PhyStatusCheckStep(a()); });
  EXPECT_EQ(g_log.runs, 0);
  rig_.RunUntilIdle();
  EXPECT_EQ(g_log.runs, 1);
  EXPECT_EQ(g_log.value, 0);
  EXPECT_EQ(MiiCommands(board()), std::vector<MiiCommand>{MiiRead(5, 1)});
}

TEST_F(MiiAsyncTest, ReadThatCannotStartRunsNoContinuation) {
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  NTSTATUS status = STATUS_SUCCESS;
  AtDispatch([&] { status = usbeth::PhyReadAsync(a(), 1, 2, RecordStep); });
  rig_.RunUntilIdle();
  EXPECT_EQ(status, 2);
  EXPECT_EQ(g_log.runs, 0);
}

}  // namespace
}  // namespace usbeth_test
