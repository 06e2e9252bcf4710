// The packet filter reaches registers 0x00..0x02 from any IRQL up to
// DISPATCH_LEVEL without waiting and without touching the register buffers
// and continuation slot that a running link chain owns.

#include <gtest/gtest.h>

#include "phy_rig.h"
#include "usb/usb_transport.h"

namespace usbeth_test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kWdmTag = 0x206D6457;  // "Wdm "

int g_chain_steps = 0;
ULONG ChainStep(usbeth::Adapter*) {
  ++g_chain_steps;
  return usbeth::kOk;
}

class PacketFilterTest : public ::testing::Test {
 protected:
  PacketFilterTest() : rig_(hw::boards::SingleEthernet()) {
    // As after a controller start at 100 Mb/s full duplex.
    a()->RxControl1 = 0x30;
    usbeth::EnableController(a());
    board().clear_logs();
    g_chain_steps = 0;
  }
  usbeth::Adapter* a() { return rig_.a(); }
  hw::Board& board() { return rig_.board(); }

  // Applies a filter the way NDIS calls the set handler: at DISPATCH_LEVEL.
  ULONG ApplyAtDispatch(UCHAR mode) {
    ULONG result = 0;
    host::run_at_irql(DISPATCH_LEVEL, "packet filter set",
                      [&] { result = usbeth::ApplyPacketFilter(a(), mode); });
    return result;
  }
  std::vector<Bytes> FilterWrites() { return BlockWrites(board(), 0x00); }

  PhyRig rig_;
};

TEST_F(PacketFilterTest, ModesMapToAllMulticastAndPromiscuousBits) {
  struct Case {
    UCHAR mode;
    Bytes registers;
  } cases[] = {
      {0x02, {0xF9, 0x30, 0x02}}, {0x10, {0xFB, 0x30, 0x02}}, {0x16, {0xFB, 0x30, 0x06}},
      {0x17, {0xFB, 0x30, 0x06}}, {0x01, {0xF9, 0x30, 0x02}}, {0x00, {0xF9, 0x30, 0x02}},
  };
  for (const Case& c : cases) {
    board().clear_logs();
    EXPECT_EQ(ApplyAtDispatch(c.mode), usbeth::kOk);
    rig_.RunUntilIdle();
    EXPECT_EQ(FilterWrites(), std::vector<Bytes>{c.registers}) << "mode " << int(c.mode);
    EXPECT_EQ(board().peek_registers(0x00, 3), c.registers) << "mode " << int(c.mode);
    EXPECT_EQ(a()->RxControl0, c.registers[0]);
  }
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
  EXPECT_EQ(host::counters().irps_live, 0);
}

TEST_F(PacketFilterTest, SetAtDispatchReturnsAtOnceAndTheWriteFollows) {
  host::Nanoseconds start = rig_.now();
  EXPECT_EQ(ApplyAtDispatch(0x16), usbeth::kOk);
  // Nothing waited: no virtual time passed inside the call, and the
  // shadow is already updated for the next controller write.
  EXPECT_EQ(rig_.now(), start);
  EXPECT_EQ(a()->RxControl0, 0xFB);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  rig_.RunUntilIdle();
  EXPECT_EQ(board().peek_registers(0x00, 3), (Bytes{0xFB, 0x30, 0x06}));
  // The write was a plain 3-byte vendor write: wValue 0, registers 0x00..0x02.
  const hw::ControlRecord c = board().control_log().back();
  EXPECT_EQ(c.setup.bRequest, 0xF1);
  EXPECT_EQ(c.setup.wIndex, 0x00);
  EXPECT_EQ(c.setup.wLength, 3);
  EXPECT_EQ(c.setup.wValue, 0);
  EXPECT_EQ(usbeth::WaitPacketFilterIdle(a(), 1), usbeth::kOk);
}

TEST_F(PacketFilterTest, RunningChainKeepsItsBuffersAndContinuation) {
  // A link chain step in flight: an asynchronous write from RegWriteBuffer
  // whose completion runs the chain's next step.
  a()->RegWriteBuffer[0] = 0x26;
  a()->RegWriteBuffer[1] = 0x00;
  a()->RegWriteBuffer[2] = 0x26;
  a()->RegWriteBuffer[3] = 0x30;
  a()->RegReadBuffer[0] = 0x5A;
  a()->NextStep = ChainStep;
  host::run_at_irql(DISPATCH_LEVEL, "chain step",
                    [&] { usbeth::WriteRegistersAsync(a(), 4, 0x7C, a()->RegWriteBuffer); });
  EXPECT_EQ(ApplyAtDispatch(0x10), usbeth::kOk);
  EXPECT_EQ(a()->NextStep, &ChainStep);
  EXPECT_EQ(Bytes(a()->RegWriteBuffer, a()->RegWriteBuffer + 4), (Bytes{0x26, 0x00, 0x26, 0x30}));
  EXPECT_EQ(a()->RegReadBuffer[0], 0x5A);
  rig_.RunUntilIdle();
  EXPECT_EQ(g_chain_steps, 1);
  EXPECT_EQ(board().peek_registers(0x7C, 4), (Bytes{0x26, 0x00, 0x26, 0x30}));
  EXPECT_EQ(board().peek_registers(0x00, 3), (Bytes{0xFB, 0x30, 0x02}));
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
}

TEST_F(PacketFilterTest, SetsDuringAWriteAreCoalescedAndTheLastOneWins) {
  EXPECT_EQ(ApplyAtDispatch(0x16), usbeth::kOk);
  EXPECT_EQ(ApplyAtDispatch(0x10), usbeth::kOk);
  EXPECT_EQ(ApplyAtDispatch(0x02), usbeth::kOk);
  rig_.RunUntilIdle();
  std::vector<Bytes> writes = FilterWrites();
  ASSERT_GE(writes.size(), 1u);
  EXPECT_LE(writes.size(), 2u);
  EXPECT_EQ(writes.back(), (Bytes{0xF9, 0x30, 0x02}));
  EXPECT_EQ(board().peek_registers(0x00, 3), (Bytes{0xF9, 0x30, 0x02}));
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
  EXPECT_EQ(host::counters().irps_live, 0);
}

TEST_F(PacketFilterTest, WriteThatCannotStartIsCarriedByTheNextSet) {
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  EXPECT_EQ(ApplyAtDispatch(0x10), usbeth::kOk);
  rig_.RunUntilIdle();
  EXPECT_TRUE(FilterWrites().empty());
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
  EXPECT_EQ(usbeth::WaitPacketFilterIdle(a(), 1), usbeth::kOk);

  EXPECT_EQ(ApplyAtDispatch(0x14), usbeth::kOk);
  rig_.RunUntilIdle();
  EXPECT_EQ(FilterWrites(), (std::vector<Bytes>{{0xFB, 0x30, 0x06}}));
}

TEST(PacketFilterHaltTest, HaltCanWaitForAWriteInFlight) {
  host::usb::BusOptions bus;
  bus.completion = host::usb::CompletionMode::Deferred;
  PhyRig rig(hw::boards::SingleEthernet(), bus);
  EXPECT_EQ(usbeth::ApplyPacketFilter(rig.a(), 0x16), usbeth::kOk);
  // Still at the bus: a wait of no rounds reports it busy.
  EXPECT_EQ(usbeth::WaitPacketFilterIdle(rig.a(), 0), usbeth::kFailed);
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 1u);
  EXPECT_EQ(usbeth::WaitPacketFilterIdle(rig.a(), 1000), usbeth::kOk);
  EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
  EXPECT_EQ(rig.board().peek_registers(0x00, 3), (Bytes{0x02, 0x00, 0x06}));
}

}  // namespace
}  // namespace usbeth_test
