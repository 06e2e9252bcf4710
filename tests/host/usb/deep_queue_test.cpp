// Several transfers queued on one pipe: they are carried out in the
// (micro)frame in progress, a NAKed bulk endpoint revisited within it at the
// time the device says its NAKs end, and complete at its end; and a transfer
// ending in error halts its pipe until the pipe is reset.
#include "bus_test_fixture.h"

namespace {

using host::kMicrosecond;
using host::kMillisecond;
using host::Nanoseconds;
using usb_test::BusTest;
using usb_test::Completion;
using usb_test::FakeDevice;

constexpr size_t kInPipe = 0;   // 0x81
constexpr size_t kOutPipe = 1;  // 0x02
constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kInShortOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// A device whose OUT endpoint, like a MAC with one frame to put on the wire,
// NAKs for `busy` after each transfer it takes, and says so.
class PacedDevice : public FakeDevice {
 public:
  using FakeDevice::FakeDevice;
  hw::Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) override {
    const size_t transfers = out_transfers.size();
    hw::Handshake h = FakeDevice::bulk_out(endpoint, data, len);
    if (out_transfers.size() != transfers) {
      taken_at.push_back(now());
      out_ready_at = now() + busy;
    }
    return h;
  }
  uint64_t naks_until(uint8_t endpoint_address) override {
    if (endpoint_address == 0x02) return std::max(now(), out_ready_at);
    return 0;  // promises nothing
  }
  Nanoseconds busy = 10 * kMicrosecond;
  std::vector<Nanoseconds> taken_at;  // when each transfer ended at the device
};

class DeepQueueTest : public BusTest {
 protected:
  void start_paced(hw::BusSpeed speed, Nanoseconds busy) {
    start(speed);  // the fixture's own device is not used below
    auto endpoints = usb_test::adapter_endpoints(speed == hw::BusSpeed::High ? 512 : 64);
    bus_.reset();
    paced_ = std::make_unique<PacedDevice>(speed, usb_test::configuration(endpoints));
    paced_->out_max_packet = endpoints[1].max_packet;
    paced_->busy = busy;
    start_on(*paced_);
    configure();
  }
  void TearDown() override {
    bus_.reset();
    paced_.reset();
    BusTest::TearDown();
  }
  NTSTATUS pipe_request(uint16_t function, size_t pipe, Completion* c, URB* u) {
    usb_test::pipe_urb(u, function, pipes_.at(pipe).PipeHandle);
    return client_->send(u, c);
  }
  // Resets pipe `pipe` after aborting what it holds; the reset's result.
  NTSTATUS abort_and_reset(size_t pipe) {
    URB abort, reset;
    Completion ca, cr;
    pipe_request(URB_FUNCTION_ABORT_PIPE, pipe, &ca, &abort);
    EXPECT_TRUE(wait(ca));
    pipe_request(URB_FUNCTION_RESET_PIPE, pipe, &cr, &reset);
    EXPECT_TRUE(wait(cr));
    return cr.status;
  }
  // Runs the bus to the next (micro)frame boundary unless it is at one; the
  // time then.
  Nanoseconds to_boundary() {
    const Nanoseconds period = bus_->frame_period();
    const Nanoseconds off = scheduler().now() % period;
    if (off != 0) scheduler().run_for(period - off);
    return scheduler().now();
  }
  std::unique_ptr<PacedDevice> paced_;
};

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(seed + i * 3);
  return v;
}

// Six small transfers queued at a boundary: the device takes one and NAKs
// the next for 10 us. The bus carries them out in the (micro)frame that
// starts there, revisiting the endpoint as soon as the device is ready, and
// all six complete at that frame's end, not one frame later.
TEST_F(DeepQueueTest, TransfersQueuedAtABoundaryCompleteAtTheEndOfTheFrameThatCarriedThem) {
  for (hw::BusSpeed speed : {hw::BusSpeed::High, hw::BusSpeed::Full}) {
    start_paced(speed, 10 * kMicrosecond);
    const Nanoseconds period = bus_->frame_period();
    const Nanoseconds start = to_boundary();
    std::vector<std::vector<uint8_t>> data;
    for (int i = 0; i < 6; ++i)
      data.push_back(bytes(60, static_cast<uint8_t>(i)));
    URB u[6];
    Completion c[6];
    for (int i = 0; i < 6; ++i)
      bulk(kOutPipe, data[i].data(), 60, 0, &u[i], &c[i]);
    for (auto& one : c)
      ASSERT_TRUE(wait(one));
    ASSERT_EQ(paced_->taken_at.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(paced_->taken_at[i], start + i * 10 * kMicrosecond) << "transfer " << i;
      EXPECT_EQ(paced_->out_transfers[i], data[i]) << "transfer " << i;
      EXPECT_EQ(c[i].status, STATUS_SUCCESS);
      EXPECT_EQ(c[i].at, start + period) << "transfer " << i;
    }
    bus_.reset();
  }
}

// Without frame timing (the live bridge's bus) the same six complete as the
// revisits end them, each with those ended before it, not at the frame's end.
TEST_F(DeepQueueTest, WithoutFrameTimingARevisitCompletesWhatItEnded) {
  start(hw::BusSpeed::High);
  auto endpoints = usb_test::adapter_endpoints(512);
  bus_.reset();
  paced_ = std::make_unique<PacedDevice>(hw::BusSpeed::High, usb_test::configuration(endpoints));
  paced_->out_max_packet = endpoints[1].max_packet;
  paced_->busy = 10 * kMicrosecond;
  host::usb::BusOptions o = deferred();
  o.unthrottled = true;
  o.complete_at_revisit = true;
  start_on(*paced_, o);
  configure();
  const Nanoseconds start = to_boundary();
  std::vector<uint8_t> data = bytes(60, 9);
  URB u[6];
  Completion c[6];
  for (int i = 0; i < 6; ++i)
    bulk(kOutPipe, data.data(), 60, 0, &u[i], &c[i]);
  for (auto& one : c)
    ASSERT_TRUE(wait(one));
  ASSERT_EQ(paced_->taken_at.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(paced_->taken_at[i], start + i * 10 * kMicrosecond) << "transfer " << i;
    EXPECT_EQ(c[i].status, STATUS_SUCCESS);
    // The first, carried at submission, goes with the first revisit.
    EXPECT_EQ(c[i].at, start + std::max<size_t>(i, 1) * 10 * kMicrosecond) << "transfer " << i;
  }
}

// A client keeping four transfers queued, each replaced when it completes
// (as a completion routine does), gets four per (micro)frame through a
// device that needs 10 us after each: the replacements submitted at a
// boundary go out in the frame that starts there.
TEST_F(DeepQueueTest, AQueueKeptFullCarriesItsDepthEveryFrame) {
  for (hw::BusSpeed speed : {hw::BusSpeed::High, hw::BusSpeed::Full}) {
    start_paced(speed, 10 * kMicrosecond);
    const Nanoseconds period = bus_->frame_period();
    const Nanoseconds start = to_boundary();
    constexpr size_t kDepth = 4, kCount = 24;
    std::vector<uint8_t> data = bytes(60, 3);
    std::vector<URB> u(kCount);
    std::vector<Completion> c(kCount);
    for (size_t i = 0; i < kDepth; ++i)
      bulk(kOutPipe, data.data(), 60, 0, &u[i], &c[i]);
    for (size_t i = 0; i < kCount; ++i) {
      ASSERT_TRUE(wait(c[i])) << "transfer " << i;
      // Whatever else completed at this instant is replaced now too.
      for (size_t j = i + kDepth; j < kCount && c[j - kDepth].done && c[j].urb == nullptr; ++j)
        bulk(kOutPipe, data.data(), 60, 0, &u[j], &c[j]);
    }
    ASSERT_EQ(paced_->taken_at.size(), kCount);
    for (size_t i = 0; i < kCount; ++i) {
      const Nanoseconds frame_start = start + (i / kDepth) * period;
      EXPECT_EQ(paced_->taken_at[i], frame_start + (i % kDepth) * 10 * kMicrosecond)
          << "transfer " << i;
      EXPECT_EQ(c[i].at, frame_start + period) << "transfer " << i;
      EXPECT_EQ(c[i].status, STATUS_SUCCESS);
    }
    bus_.reset();
  }
}

// A revisit pays its packets from the budget of the frame in progress, which
// the transfer before it used: a 19-packet transfer taken up 100 us into a
// full-speed frame after a 10-packet one moves 9 packets there and its last
// 10 in the next frame.
TEST_F(DeepQueueTest, ARevisitPaysFromTheBudgetOfTheFrameInProgress) {
  start_paced(hw::BusSpeed::Full, 100 * kMicrosecond);
  std::vector<uint8_t> a = bytes(9 * 64 + 54, 1), b = bytes(18 * 64 + 10, 2);
  URB ua, ub;
  Completion ca, cb;
  const Nanoseconds start = to_boundary();
  bulk(kOutPipe, a.data(), static_cast<ULONG>(a.size()), 0, &ua, &ca);
  bulk(kOutPipe, b.data(), static_cast<ULONG>(b.size()), 0, &ub, &cb);
  ASSERT_TRUE(wait(cb));
  ASSERT_TRUE(ca.done);
  EXPECT_EQ(ca.at, start + kMillisecond);
  ASSERT_EQ(paced_->out_packets.size(), 10u + 19u);
  EXPECT_EQ(paced_->taken_at.back(), start + kMillisecond);
  EXPECT_EQ(cb.at, start + 2 * kMillisecond);
  EXPECT_EQ(paced_->out_transfers.back(), b);
}

// A transfer that the device took at a revisit has ended; cancelling it
// before the boundary reports it gives its real result, not a cancel (the
// frame did go out).
TEST_F(DeepQueueTest, CancellingATransferThatEndedBeforeItsBoundaryKeepsItsResult) {
  start_paced(hw::BusSpeed::High, 10 * kMicrosecond);
  std::vector<uint8_t> a = bytes(60, 1), b = bytes(60, 2), c = bytes(60, 3);
  URB ua, ub, uc;
  Completion ca, cb, cc;
  to_boundary();
  bulk(kOutPipe, a.data(), 60, 0, &ua, &ca);
  bulk(kOutPipe, b.data(), 60, 0, &ub, &cb);
  bulk(kOutPipe, c.data(), 60, 0, &uc, &cc);
  ASSERT_TRUE(scheduler().block_until([&] { return paced_->taken_at.size() == 2; },
                                      scheduler().now() + kMillisecond));
  ASSERT_FALSE(cb.done);
  ASSERT_NE(cb.irp, nullptr);
  IoCancelIrp(cb.irp);
  ASSERT_TRUE(wait(cb));
  EXPECT_EQ(cb.status, STATUS_SUCCESS);
  EXPECT_EQ(cb.usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(ub.UrbBulkOrInterruptTransfer.TransferBufferLength, 60u);
  ASSERT_TRUE(wait(ca));
  ASSERT_TRUE(wait(cc));
  EXPECT_EQ(ca.status, STATUS_SUCCESS);
  EXPECT_EQ(cc.status, STATUS_SUCCESS);
  EXPECT_EQ(paced_->out_transfers, (std::vector<std::vector<uint8_t>>{a, b, c}));
}

// An OUT transfer stalls with two more queued behind it and one sent after:
// none of them reaches the device until the pipe is aborted and reset, even
// once the endpoint would take them again.
TEST_F(DeepQueueTest, AStallHaltsTheQueueBehindItUntilThePipeIsReset) {
  start(hw::BusSpeed::Full);
  configure();
  device_->stall_out = true;
  std::vector<uint8_t> a = bytes(100, 1), b = bytes(100, 2), c = bytes(100, 3), d = bytes(100, 4);
  URB ua, ub, uc, ud;
  Completion ca, cb, cc, cd;
  bulk(kOutPipe, a.data(), 100, 0, &ua, &ca);
  bulk(kOutPipe, b.data(), 100, 0, &ub, &cb);
  ASSERT_TRUE(wait(ca));
  EXPECT_EQ(ca.usbd, USBD_STATUS_STALL_PID);
  device_->stall_out = false;
  bulk(kOutPipe, c.data(), 100, 0, &uc, &cc);
  scheduler().run_for(20 * kMillisecond);
  EXPECT_FALSE(cb.done);
  EXPECT_FALSE(cc.done);
  EXPECT_TRUE(device_->out_packets.empty());

  // A reset with transfers still queued is refused; they go with an abort.
  URB busy;
  Completion cbusy;
  pipe_request(URB_FUNCTION_RESET_PIPE, kOutPipe, &cbusy, &busy);
  ASSERT_TRUE(wait(cbusy));
  EXPECT_EQ(cbusy.usbd, USBD_STATUS_ERROR_BUSY);
  ASSERT_EQ(abort_and_reset(kOutPipe), STATUS_SUCCESS);
  EXPECT_EQ(cb.usbd, USBD_STATUS_CANCELED);
  EXPECT_EQ(cc.usbd, USBD_STATUS_CANCELED);
  EXPECT_EQ(device_->resets, std::vector<uint8_t>{0x02});
  EXPECT_TRUE(device_->out_packets.empty());

  bulk(kOutPipe, d.data(), 100, 0, &ud, &cd);
  ASSERT_TRUE(wait(cd));
  EXPECT_EQ(cd.status, STATUS_SUCCESS);
  ASSERT_EQ(device_->out_transfers.size(), 1u);
  EXPECT_EQ(device_->out_transfers[0], d);
}

// Every kind of error halts an IN pipe the same way: the read queued behind
// waits, with data ready at the device, until the pipe is reset; the read
// after the reset gets the data.
TEST_F(DeepQueueTest, EveryTransferErrorHaltsAnInPipe) {
  enum class Kind { Stall, Babble, NoAnswer, ShortRefused };
  for (Kind kind : {Kind::Stall, Kind::Babble, Kind::NoAnswer, Kind::ShortRefused}) {
    SCOPED_TRACE(static_cast<int>(kind));
    start(hw::BusSpeed::Full);
    configure();
    std::vector<uint8_t> first(64), held(64), after(64);
    ULONG first_length = 64, flags = kInShortOk;
    switch (kind) {
      case Kind::Stall:
        device_->stall_in = true;
        break;
      case Kind::Babble:
        device_->queue_in(bytes(64, 9), 64, false);
        first_length = 32;
        break;
      case Kind::NoAnswer: {
        auto armed = std::make_shared<bool>(true);
        bus_->set_request_rule([armed](const host::usb::RequestInfo& info) {
          if (info.bulk && info.in && *armed) {
            *armed = false;
            return host::usb::RequestFault::Error;
          }
          return host::usb::RequestFault::None;
        });
        break;
      }
      case Kind::ShortRefused:
        device_->queue_in(bytes(10, 9), 64);
        flags = kIn;
        break;
    }
    URB ua, ub, uc;
    Completion ca, cb, cc;
    bulk(kInPipe, first.data(), first_length, flags, &ua, &ca);
    bulk(kInPipe, held.data(), 64, kInShortOk, &ub, &cb);
    ASSERT_TRUE(wait(ca));
    EXPECT_FALSE(USBD_SUCCESS(ca.usbd)) << std::hex << ca.usbd;
    device_->stall_in = false;
    device_->in_packets.clear();
    device_->queue_in(bytes(20, 5), 64);
    const int polls = device_->in_polls;
    scheduler().run_for(20 * kMillisecond);
    EXPECT_FALSE(cb.done);
    EXPECT_EQ(device_->in_polls, polls) << "a halted pipe polled its endpoint";

    ASSERT_EQ(abort_and_reset(kInPipe), STATUS_SUCCESS);
    EXPECT_EQ(cb.usbd, USBD_STATUS_CANCELED);
    bulk(kInPipe, after.data(), 64, kInShortOk, &uc, &cc);
    ASSERT_TRUE(wait(cc));
    EXPECT_EQ(cc.status, STATUS_SUCCESS);
    ASSERT_EQ(uc.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 20, bytes(20, 5).begin()));
    bus_.reset();
  }
}

// Ending transfers with an abort or a cancel is not an error of the pipe:
// the next transfer runs without a reset.
TEST_F(DeepQueueTest, AbortAndCancelDoNotHaltThePipe) {
  start(hw::BusSpeed::High);
  configure();
  std::vector<uint8_t> a(512), b(512), c(512);
  URB ua, ub, uc, abort;
  Completion ca, cb, cc, cabort;
  bulk(kInPipe, a.data(), 512, kInShortOk, &ua, &ca);
  scheduler().run_for(kMillisecond);
  pipe_request(URB_FUNCTION_ABORT_PIPE, kInPipe, &cabort, &abort);
  ASSERT_TRUE(wait(cabort));
  ASSERT_EQ(ca.usbd, USBD_STATUS_CANCELED);
  bulk(kInPipe, b.data(), 512, kInShortOk, &ub, &cb);
  scheduler().run_for(kMillisecond);
  IoCancelIrp(cb.irp);
  ASSERT_TRUE(wait(cb));
  ASSERT_EQ(cb.usbd, USBD_STATUS_CANCELED);
  device_->queue_in(bytes(30, 7), 512);
  bulk(kInPipe, c.data(), 512, kInShortOk, &uc, &cc);
  ASSERT_TRUE(wait(cc));
  EXPECT_EQ(cc.status, STATUS_SUCCESS);
  EXPECT_EQ(uc.UrbBulkOrInterruptTransfer.TransferBufferLength, 30u);
  EXPECT_TRUE(device_->resets.empty());
}

}  // namespace
