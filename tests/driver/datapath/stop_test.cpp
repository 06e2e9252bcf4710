// The stop path against transfers the bus holds on to: the system shutdown
// handler gives up waiting after a bound while halt waits for every IRP; a
// transfer that completes after the stop leaves the adapter stopped; no timer
// routine arms anything once the adapter stopped.
#include <gtest/gtest.h>

#include "datapath_bench.h"
#include "miniport/miniport.h"
#include "phy/link_monitor.h"

namespace usbeth::test {
namespace {

using host::kMillisecond;
using host::kSecond;

constexpr uint8_t kSetFeature = 0x03;

size_t RemoteWakeupRequests(hw::Board& board) {
  size_t n = 0;
  for (const hw::ControlRecord& r : board.control_log())
    n += r.setup.bmRequestType == 0x00 && r.setup.bRequest == kSetFeature && r.setup.wValue == 1;
  return n;
}

// One data frame handed down and held by the bus.
void HoldOneFrame(DatapathBench& bench) {
  bench.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::Hold;
  };
  bench.protocol().send(bench.FrameToPartner(200, 1));
  ASSERT_TRUE(bench.RunUntil([&] { return bench.interposer().held_count() == 1; }, kSecond));
}

TEST(StopBounds, ShutdownGivesUpOnAHeldTransferAndHaltWaitsForIt) {
  DatapathBench bench;
  HoldOneFrame(bench);

  const host::Nanoseconds start = bench.kernel().scheduler().now();
  ASSERT_TRUE(bench.miniport().shutdown());
  const host::Nanoseconds took = bench.kernel().scheduler().now() - start;
  EXPECT_LT(took, 5 * kSecond) << "shutdown waited " << took / kMillisecond << " ms";
  EXPECT_EQ(bench.adapter()->AdapterState, kStateStopped);
  EXPECT_EQ(bench.interposer().held_count(), 1u);
  EXPECT_EQ(RemoteWakeupRequests(bench.board()), 1u);

  // Halt frees nothing while the IRP is out: it waits, cancelling now and
  // then, until the bus gives it back.
  host::Kernel::get().scheduler().schedule_after(
      3 * kSecond, host::RunLevel::Dispatch,
      [&] { bench.interposer().complete_held(STATUS_CANCELLED); }, "test: bus returns the IRP");
  bench.miniport().halt();
  EXPECT_EQ(bench.interposer().held_count(), 0u);
  EXPECT_EQ(host::counters().irps_live, 0);
  // Halt after the shutdown does not stop the device a second time.
  EXPECT_EQ(RemoteWakeupRequests(bench.board()), 1u);
}

TEST(StopBounds, ATransferCompletingAfterTheStopLeavesTheAdapterStopped) {
  DatapathBench bench;
  HoldOneFrame(bench);
  // The bus ends the transfer with an error while the stop sequence runs,
  // after the adapter went to the stopped state.
  host::Kernel::get().scheduler().schedule_after(
      1500 * kMillisecond, host::RunLevel::Dispatch,
      [&] { bench.interposer().complete_held(STATUS_CANCELLED); }, "test: late completion");
  ASSERT_TRUE(bench.miniport().shutdown());
  EXPECT_EQ(bench.interposer().held_count(), 0u);
  EXPECT_EQ(bench.adapter()->AdapterState, kStateStopped);
  // Neither the check for hang nor halt takes it for a failed device.
  EXPECT_FALSE(MiniportCheckForHang(bench.adapter()));
  bench.miniport().halt();
  EXPECT_EQ(RemoteWakeupRequests(bench.board()), 1u);
}

TEST(StopBounds, TimerRoutinesArmNothingOnceStopped) {
  BenchOptions options;
  options.board = hw::boards::SingleHome(hw::phyid::kHomeB);
  DatapathBench bench(options);
  Adapter* adapter = bench.adapter();
  ASSERT_TRUE(adapter->KeepAliveTimerStarted);
  ASSERT_TRUE(bench.miniport().shutdown());
  ASSERT_EQ(bench.library().armed_timers(), 0u);

  // An expiry that was already running on another processor when the stop
  // cancelled the timers.
  DatapathBench::AtDispatch([&] {
    KeepAliveTimerExpired(nullptr, adapter, nullptr, nullptr);
    LinkPollTimerExpired(nullptr, adapter, nullptr, nullptr);
  });
  EXPECT_EQ(bench.library().armed_timers(), 0u);
  EXPECT_TRUE(TimersQuiet(adapter));
}

}  // namespace
}  // namespace usbeth::test
