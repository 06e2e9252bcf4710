// When requests complete on the modelled bus: at the (micro)frame boundary
// after they end, so that a transfer resubmitted then runs in the next
// (micro)frame; and the share of a frame's packets that control requests take.
#include "bus_test_fixture.h"

namespace {

using host::kMicrosecond;
using host::kMillisecond;
using host::Nanoseconds;
using host::usb::BusOptions;
using usb_test::BusTest;
using usb_test::Completion;

std::vector<uint8_t> bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

class FrameTimingTest : public BusTest {
 protected:
  // Keeps one OUT transfer of `size` bytes in flight, the next sent when the
  // one before completes (as a completion routine would); the completion
  // times of `count` of them.
  std::vector<Nanoseconds> back_to_back(size_t size, int count) {
    std::vector<uint8_t> data = bytes(size);
    std::vector<Nanoseconds> at;
    for (int i = 0; i < count; ++i) {
      URB u;
      Completion c;
      bulk(1, data.data(), static_cast<ULONG>(size), 0, &u, &c);
      EXPECT_TRUE(wait(c));
      EXPECT_EQ(c.status, STATUS_SUCCESS);
      EXPECT_FALSE(c.during_call);
      at.push_back(c.at);
    }
    return at;
  }
  // A vendor write of `count` bytes and an OUT transfer of `out` bytes sent
  // at the same moment; when the OUT transfer completes, in frames after the
  // frame it was sent in.
  Nanoseconds out_behind_control(uint16_t count, size_t out) {
    std::vector<uint8_t> regs = bytes(count), data = bytes(out);
    URB v, b;
    Completion vc, bc;
    const Nanoseconds t0 = scheduler().now();
    usb_test::vendor_urb(&v, false, 0x10, count, regs.data());
    client_->send(&v, &vc);
    bulk(1, data.data(), static_cast<ULONG>(out), 0, &b, &bc);
    EXPECT_TRUE(wait(bc));
    EXPECT_TRUE(wait(vc));
    return (bc.at - t0 / bus_->frame_period() * bus_->frame_period()) / bus_->frame_period();
  }
};

// The default bus: one transfer in flight carries one transfer per frame,
// whatever the seed, and each completes at a boundary.
TEST_F(FrameTimingTest, OneTransferInFlightCarriesOnePerFrameByDefault) {
  for (hw::BusSpeed speed : {hw::BusSpeed::Full, hw::BusSpeed::High}) {
    start(speed, BusOptions{});
    configure();
    const Nanoseconds period = bus_->frame_period();
    std::vector<Nanoseconds> at = back_to_back(60, 40);
    for (size_t i = 0; i < at.size(); ++i) {
      EXPECT_EQ(at[i] % period, 0u);
      if (i > 0) {
        EXPECT_EQ(at[i] - at[i - 1], period) << "transfer " << i;
      }
    }
    EXPECT_EQ(bus_->stats().completed_before_return, 0u);
    bus_.reset();
  }
}

// The other path, chosen by a test: completing inside the dispatch lets a
// resubmitted transfer run again in the same frame, up to its packets.
TEST_F(FrameTimingTest, BeforeReturnRunsAResubmittedTransferInTheSameFrame) {
  BusOptions o;
  o.completion = host::usb::CompletionMode::BeforeReturn;
  start(hw::BusSpeed::Full, o);
  configure();
  // Into a frame the configuration requests left untouched.
  scheduler().run_for(3500 * kMicrosecond);
  const Nanoseconds t0 = scheduler().now();
  std::vector<uint8_t> data = bytes(60);
  int in_first_frame = 0;
  for (int i = 0; i < 25; ++i) {
    URB u;
    Completion c;
    bulk(1, data.data(), 60, 0, &u, &c);
    ASSERT_TRUE(wait(c));
    if (c.at / kMillisecond == t0 / kMillisecond) ++in_first_frame;
  }
  EXPECT_EQ(in_first_frame, 19);  // the frame's 19 packets
}

TEST_F(FrameTimingTest, ControlTransactionsTakeTheirShareOfTheFrame) {
  start(hw::BusSpeed::Full);
  configure();
  // A 4-byte vendor write is three transactions: setup, one data packet,
  // status. 16 bulk packets still fit the frame beside it; 17 do not.
  EXPECT_EQ(out_behind_control(4, 16 * 64), 1u);
  EXPECT_EQ(out_behind_control(4, 17 * 64), 2u);
  // Without the control request, 19 fit.
  std::vector<uint8_t> data = bytes(19 * 64);
  URB u;
  Completion c;
  const Nanoseconds t0 = scheduler().now();
  bulk(1, data.data(), 19 * 64, 0, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 1) * kMillisecond);
}

TEST_F(FrameTimingTest, AControlRequestLongerThanAFrameCompletesWhenItsLastTransactionIsCarried) {
  start(hw::BusSpeed::Full);
  configure();
  // 20 data packets of 64 bytes with setup and status: 22 transactions, 19
  // in the first frame, 3 in the next.
  std::vector<uint8_t> regs = bytes(20 * 64);
  URB v;
  Completion c;
  const Nanoseconds t0 = scheduler().now();
  usb_test::vendor_urb(&v, false, 0x10, static_cast<uint16_t>(regs.size()), regs.data());
  client_->send(&v, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.at, (t0 / kMillisecond + 2) * kMillisecond);
  // The device saw it once, when it was submitted.
  ASSERT_EQ(device_->control_times.size(), 3u);  // descriptor, configuration, this
  EXPECT_EQ(device_->control_times.back(), t0);
}

TEST_F(FrameTimingTest, ControlDataPacketsFollowTheDevicesEndpointZeroPacketSize) {
  for (uint8_t ep0 : {64, 8}) {
    start(hw::BusSpeed::Full);
    device_->device_descriptor[7] = ep0;
    // The device descriptor read tells the bus endpoint 0's packet size.
    uint8_t dd[18] = {};
    URB d;
    std::memset(&d, 0, sizeof d);
    UsbBuildGetDescriptorRequest(&d, 80, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, dd, nullptr, 18,
                                 nullptr);
    Completion dc;
    client_->send(&d, &dc);
    ASSERT_TRUE(wait(dc));
    configure();
    // 64 bytes: one data packet (3 transactions) or eight (10).
    const unsigned transactions = ep0 == 64 ? 3 : 10;
    EXPECT_EQ(out_behind_control(64, (19 - transactions) * 64), 1u) << int{ep0};
    EXPECT_EQ(out_behind_control(64, (20 - transactions) * 64), 2u) << int{ep0};
    bus_.reset();
  }
}

}  // namespace
