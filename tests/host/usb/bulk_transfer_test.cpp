// Bulk transfers on the modelled bus: packetisation, the end of a transfer,
// the packets per frame, and NAK retries at full and high speed.
#include <numeric>

#include "bus_test_fixture.h"

namespace {

using host::kMicrosecond;
using host::kMillisecond;
using host::Nanoseconds;
using host::usb::BusOptions;
using host::usb::ShortTransfer;
using usb_test::BusTest;
using usb_test::Completion;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(seed + i);
  return v;
}

std::vector<size_t> sizes(const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<size_t> s;
  for (auto& p : packets)
    s.push_back(p.size());
  return s;
}

class BulkOutTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    start(hw::BusSpeed::Full);
    configure();
  }
  // Sends one OUT transfer and waits for it.
  Completion send_out(std::vector<uint8_t> data) {
    URB u;
    Completion c;
    bulk(1, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()), 0, &u, &c);
    EXPECT_TRUE(wait(c));
    EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, data.size());
    return c;
  }
};

TEST_F(BulkOutTest, SplitsIntoMaxPacketsEndingWithTheShortOne) {
  auto data = pattern(130);
  Completion c = send_out(data);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(sizes(device_->out_packets), (std::vector<size_t>{64, 64, 2}));
  ASSERT_EQ(device_->out_transfers.size(), 1u);
  EXPECT_EQ(device_->out_transfers[0], data);
  EXPECT_EQ(device_->out_endpoints[0], 0x02);
  EXPECT_EQ(host::counters().bytes_out_per_pipe[1], 130u);
}

TEST_F(BulkOutTest, MultipleOfMaxPacketSendsNoZeroLengthPacket) {
  send_out(pattern(128));
  EXPECT_EQ(sizes(device_->out_packets), (std::vector<size_t>{64, 64}));
  EXPECT_TRUE(device_->out_transfers.empty());  // the device still waits for the end
}

TEST_F(BulkOutTest, ZeroLengthTransferSendsOneZeroLengthPacket) {
  send_out(pattern(128));
  send_out({});
  EXPECT_EQ(sizes(device_->out_packets), (std::vector<size_t>{64, 64, 0}));
  ASSERT_EQ(device_->out_transfers.size(), 1u);
  EXPECT_EQ(device_->out_transfers[0].size(), 128u);
}

TEST_F(BulkOutTest, MissingZeroLengthTransferMergesTwoTransfers) {
  auto first = pattern(128, 1);
  auto second = pattern(60, 100);
  send_out(first);
  send_out(second);
  ASSERT_EQ(device_->out_transfers.size(), 1u);
  std::vector<uint8_t> merged = first;
  merged.insert(merged.end(), second.begin(), second.end());
  EXPECT_EQ(device_->out_transfers[0], merged);
}

TEST_F(BulkOutTest, FullSpeedFrameCarriesNineteenPackets) {
  // 19 packets fit the first frame; a 20th waits for the next one.
  Nanoseconds t0 = scheduler().now();
  Completion c = send_out(pattern(19 * 64));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 1) * kMillisecond);
  t0 = scheduler().now();
  c = send_out(pattern(20 * 64));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 2) * kMillisecond);
  // 1516 bytes are 24 packets: two frames.
  t0 = scheduler().now();
  c = send_out(pattern(1516));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 2) * kMillisecond);
  EXPECT_EQ(device_->out_packets.size(), 19u + 20u + 24u);
}

// Completing at submission does not let a transfer past the frame's packets:
// a second transfer of 19 packets in the same frame waits for the next one.
TEST_F(BusTest, CompletionAtSubmissionSharesTheFramesPackets) {
  BusOptions options = deferred();
  options.completion = host::usb::CompletionMode::BeforeReturn;
  start(hw::BusSpeed::Full, options);
  configure();
  // Into a frame whose packets the configuration requests left untouched
  // (their setup and status transactions take a share of the frame).
  scheduler().run_for(3500 * kMicrosecond);
  auto first_data = pattern(19 * 64);
  auto second_data = pattern(19 * 64, 7);
  URB first_urb, second_urb;
  Completion first, second;
  const Nanoseconds t0 = scheduler().now();
  bulk(1, first_data.data(), static_cast<ULONG>(first_data.size()), 0, &first_urb, &first);
  bulk(1, second_data.data(), static_cast<ULONG>(second_data.size()), 0, &second_urb, &second);
  EXPECT_TRUE(first.during_call);
  EXPECT_FALSE(second.during_call);
  ASSERT_TRUE(wait(second));
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  // Carried out in the next frame, it completes at that frame's end.
  EXPECT_EQ(second.at, (t0 / kMillisecond + 2) * kMillisecond);
  EXPECT_EQ(device_->out_packets.size(), 38u);
}

TEST_F(BulkOutTest, NakedPacketIsRetriedAtTheNextFrame) {
  Nanoseconds t0 = scheduler().now();
  device_->out_ready_at = t0 + 3500 * kMicrosecond;
  Completion c = send_out(pattern(10));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  // NAKed when submitted and at the next three boundaries; taken at the
  // fourth, as the last visit of the frame that ends there.
  EXPECT_EQ(device_->out_naks, 4);
  EXPECT_EQ(c.at, (t0 / kMillisecond + 4) * kMillisecond);
}

TEST_F(BulkOutTest, StalledEndpointFailsTheTransfer) {
  device_->stall_out = true;
  Completion c = send_out({});
  EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.usbd, USBD_STATUS_STALL_PID);
}

TEST_F(BulkOutTest, UnknownPipeHandleFailsAtOnce) {
  URB u;
  Completion c;
  uint8_t b[4] = {};
  usb_test::bulk_urb(&u, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), b, 4, 0);
  EXPECT_EQ(client_->send(&u, &c), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(c.done && c.during_call && !c.pending_returned);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

class HighSpeedOutTest : public BusTest {};

TEST_F(HighSpeedOutTest, MicroframeCarriesThirteenPacketsOf512) {
  start(hw::BusSpeed::High);
  configure();
  auto data = pattern(512 * 14 + 100);
  URB u;
  Completion c;
  Nanoseconds t0 = scheduler().now();
  bulk(1, data.data(), static_cast<ULONG>(data.size()), 0, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(device_->out_packets.size(), 15u);
  const Nanoseconds micro = 125 * kMicrosecond;
  EXPECT_EQ(c.at, (t0 / micro + 2) * micro);  // 13 in one microframe, 2 in the next
}

TEST_F(HighSpeedOutTest, UnthrottledBusMovesEverythingInOneFrame) {
  BusOptions o = deferred();
  o.unthrottled = true;
  start(hw::BusSpeed::Full, o);
  configure();
  auto data = pattern(1516);
  URB u;
  Completion c;
  Nanoseconds t0 = scheduler().now();
  bulk(1, data.data(), 1516, 0, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 1) * kMillisecond);
}

// ---- IN ---------------------------------------------------------------------------

class BulkInTest : public BusTest {
 protected:
  void begin(hw::BusSpeed speed, BusOptions o = deferred()) {
    start(speed, o);
    configure();
  }
};

TEST_F(BulkInTest, GathersPacketsUntilTheShortOne) {
  begin(hw::BusSpeed::Full);
  auto frame = pattern(150);
  device_->queue_in(frame, 64);
  std::vector<uint8_t> buf(1536, 0xEE);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, kIn, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 150u);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), buf.begin()));
  EXPECT_EQ(buf[150], 0xEE);
  EXPECT_EQ(host::counters().bytes_in_per_pipe[0], 150u);
}

TEST_F(BulkInTest, ZeroLengthPacketEndsAWholePacketTransfer) {
  begin(hw::BusSpeed::Full);
  device_->queue_in(pattern(128), 64, /*zlp=*/true);
  device_->queue_in(pattern(10, 50), 64);
  std::vector<uint8_t> buf(1536);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, kIn, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);
  EXPECT_EQ(device_->in_packets.size(), 1u);  // the next frame stays for the next read
}

TEST_F(BulkInTest, FullBufferEndsTheTransfer) {
  begin(hw::BusSpeed::Full);
  device_->queue_in(pattern(256), 64);
  std::vector<uint8_t> buf(128);
  URB u;
  Completion c;
  bulk(0, buf.data(), 128, kIn, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);
  EXPECT_EQ(device_->in_packets.size(), 3u);  // 2 more packets and the zero-length one
}

TEST_F(BulkInTest, PacketLargerThanTheRoomLeftIsAnOverrun) {
  begin(hw::BusSpeed::Full);
  device_->queue_in(pattern(128), 64);
  std::vector<uint8_t> buf(100 + 16, 0xEE);
  URB u;
  Completion c;
  bulk(0, buf.data(), 100, kIn, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.usbd, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(buf[100], 0xEE);  // nothing written past the buffer
}

TEST_F(BulkInTest, ShortTransferWithoutTheFlagIsAnErrorAtFullSpeed) {
  begin(hw::BusSpeed::Full);
  device_->queue_in(pattern(70), 64);
  std::vector<uint8_t> buf(1536);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, USBD_TRANSFER_DIRECTION_IN, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 70u);
}

TEST_F(BulkInTest, ShortTransferWithoutTheFlagSucceedsAtHighSpeed) {
  begin(hw::BusSpeed::High);
  device_->queue_in(pattern(70), 512);
  std::vector<uint8_t> buf(1536);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, USBD_TRANSFER_DIRECTION_IN, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 70u);
}

TEST_F(BulkInTest, ShortTransferRuleCanBeForced) {
  BusOptions o = deferred();
  o.short_transfer = ShortTransfer::Accept;
  begin(hw::BusSpeed::Full, o);
  device_->queue_in(pattern(70), 64);
  std::vector<uint8_t> buf(1536);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, USBD_TRANSFER_DIRECTION_IN, &u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
}

// NAK retry timing: data appears at 3.4 ms; the read completes at the first
// (micro)frame boundary at or after it, having polled when submitted and
// once per frame after.
struct NakCase {
  hw::BusSpeed speed;
  Nanoseconds frame;
};

class NakRetryTest : public BulkInTest, public ::testing::WithParamInterface<NakCase> {};

TEST_P(NakRetryTest, PendingReadPollsEveryFrameUntilDataArrives) {
  begin(GetParam().speed);
  const Nanoseconds frame = GetParam().frame;
  const size_t mps = GetParam().speed == hw::BusSpeed::High ? 512 : 64;
  Nanoseconds t0 = scheduler().now();
  Nanoseconds ready = t0 + 3400 * kMicrosecond;
  device_->in_ready_at = ready;
  device_->queue_in(pattern(20), mps);
  device_->in_polls = 0;
  device_->in_poll_times.clear();
  std::vector<uint8_t> buf(1536);
  URB u;
  Completion c;
  bulk(0, buf.data(), 1536, kIn, &u, &c);
  ASSERT_TRUE(wait(c));
  Nanoseconds expected = (ready + frame - 1) / frame * frame;
  EXPECT_EQ(c.at, expected);
  // Polled when submitted, then once at each boundary.
  Nanoseconds first = (t0 / frame + 1) * frame;
  EXPECT_EQ(static_cast<Nanoseconds>(device_->in_polls), (expected - first) / frame + 2);
  ASSERT_GE(device_->in_poll_times.size(), 2u);
  EXPECT_EQ(device_->in_poll_times[0], t0);
  EXPECT_EQ(device_->in_poll_times[1], first);
  for (size_t i = 2; i < device_->in_poll_times.size(); ++i) {
    EXPECT_EQ(device_->in_poll_times[i] - device_->in_poll_times[i - 1], frame);
  }
  // With nothing pending the bus schedules nothing.
  scheduler().run_for(10 * kMillisecond);
  EXPECT_EQ(scheduler().pending_events(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Speeds, NakRetryTest,
                         ::testing::Values(NakCase{hw::BusSpeed::Full, host::kMillisecond},
                                           NakCase{hw::BusSpeed::High, 125 * host::kMicrosecond}));

TEST_F(BulkInTest, IdleBusDoesNotPoll) {
  begin(hw::BusSpeed::Full);
  int polls = device_->in_polls;
  scheduler().run_for(50 * kMillisecond);
  EXPECT_EQ(device_->in_polls, polls);
  EXPECT_EQ(scheduler().pending_events(), 0u);
}

TEST_F(BulkInTest, PipesShareTheFrame) {
  // A pending read keeps polling while writes go out on the same frames.
  begin(hw::BusSpeed::Full);
  std::vector<uint8_t> in(1536);
  URB ui;
  Completion ci;
  bulk(0, in.data(), 1536, kIn, &ui, &ci);
  auto out = pattern(300);
  URB uo;
  Completion co;
  bulk(1, out.data(), 300, 0, &uo, &co);
  ASSERT_TRUE(wait(co));
  EXPECT_EQ(device_->out_transfers.size(), 1u);
  EXPECT_FALSE(ci.done);
  device_->queue_in(pattern(30), 64);
  ASSERT_TRUE(wait(ci));
  EXPECT_EQ(ui.UrbBulkOrInterruptTransfer.TransferBufferLength, 30u);
}

}  // namespace
