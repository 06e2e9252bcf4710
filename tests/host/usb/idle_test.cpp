// Idle (micro)frames cost nothing, and skipping them changes nothing: reads
// pending across long quiet stretches complete at the (micro)frame where
// polling every frame would have completed them, whether the change comes
// from the board's own schedule (a partner's frame, an echo) or from outside
// the bus (a transfer injected, an endpoint halted).
#include <vector>

#include "bus_test_fixture.h"
#include "hw/board.h"
#include "hw/registers.h"

namespace usb_test {
namespace {

using host::kMicrosecond;
using host::kMillisecond;
using host::kSecond;

// The board as a device that promises nothing, so the bus polls it every
// (micro)frame: the reference the skipping bus is held to.
class PolledEveryFrame : public hw::UsbDevice {
 public:
  explicit PolledEveryFrame(hw::Board& board) : board_(board) {}
  hw::ControlResult control(const hw::SetupPacket& setup, uint8_t* data) override {
    return board_.control(setup, data);
  }
  hw::Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) override {
    return board_.bulk_out(endpoint, data, len);
  }
  hw::Handshake bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet, size_t& len) override {
    return board_.bulk_in(endpoint, buf, max_packet, len);
  }
  void reset_endpoint(uint8_t endpoint) override { board_.reset_endpoint(endpoint); }
  hw::BusSpeed speed() const override { return board_.speed(); }

 private:
  hw::Board& board_;
};

std::vector<uint8_t> partner_frame(uint8_t tag, size_t size = 60) {
  std::vector<uint8_t> f(size, tag);
  for (int i = 0; i < 6; ++i)
    f[i] = static_cast<uint8_t>(0x02 + i);  // a unicast address: promiscuous takes it
  return f;
}

struct Read {
  URB urb;
  Completion done;
  uint8_t buffer[1536];
};

class IdleBus : public BusTest, public ::testing::WithParamInterface<hw::BusSpeed> {
 protected:
  void TearDown() override {
    BusTest::TearDown();
    polled_.reset();
    board_.reset();
  }

  // A board with its cable in and the bus over it (polling every frame when
  // `polled`); configured, receiver and transmitter on, promiscuous, link up.
  void bring_up(bool polled = false) {
    hw::BoardConfig config = hw::boards::SingleEthernet();
    config.speed = GetParam();
    board_ =
        std::make_unique<hw::Board>(config, [] { return host::Kernel::get().scheduler().now(); });
    if (polled) {
      polled_ = std::make_unique<PolledEveryFrame>(*board_);
      start_on(*polled_);
    } else {
      start_on(*board_);
    }
    configure();
    write_register(hw::reg::kRxCtl0, hw::reg::kRxEnable | hw::reg::kTxEnable);
    write_register(hw::reg::kRxCtl2, hw::reg::kPromiscuous);
    scheduler().run_for(5 * kSecond);  // auto-negotiation
    ASSERT_TRUE(board_->phy_state(1).carries_traffic);
    for (size_t i = 0; i < pipes_.size(); ++i) {
      if (pipes_[i].EndpointAddress == board_->bulk_in_endpoint()) bulk_in_ = i;
      if (pipes_[i].EndpointAddress == board_->bulk_out_endpoint()) bulk_out_ = i;
      if (pipes_[i].PipeType == UsbdPipeTypeInterrupt) interrupt_ = i;
    }
  }

  void write_register(uint8_t reg, uint8_t value) {
    URB u;
    Completion c;
    vendor_urb(&u, false, reg, 1, &value, value);
    client_->send(&u, &c);
    ASSERT_TRUE(wait(c));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
  }

  void submit(Read& r, size_t pipe) {
    bulk(pipe, r.buffer, sizeof r.buffer, USBD_SHORT_TRANSFER_OK, &r.urb, &r.done);
  }

  Nanoseconds period() const { return bus_->frame_period(); }
  // The first boundary at or after t; the first one after t.
  Nanoseconds boundary_from(Nanoseconds t) const {
    return (t + period() - 1) / period() * period();
  }
  Nanoseconds boundary_after(Nanoseconds t) const { return (t / period() + 1) * period(); }

  std::unique_ptr<hw::Board> board_;
  std::unique_ptr<PolledEveryFrame> polled_;
  size_t bulk_in_ = 0, bulk_out_ = 1, interrupt_ = 2;
};

TEST_P(IdleBus, ReadPendingThroughAnIdleHourCompletesWhereTheFrameIsFirstSeen) {
  bring_up();
  Read read, poll;
  submit(read, bulk_in_);
  submit(poll, interrupt_);  // NAKs for ever
  const uint64_t steps = scheduler().events_run();
  const uint64_t ticks = bus_->stats().ticks;

  // Sent by the partner an hour from now, between two boundaries.
  const Nanoseconds sent = scheduler().now() + 3600 * kSecond + 123457;
  board_->send_from_partner(1, partner_frame(0xA1), sent);
  ASSERT_TRUE(wait(read.done, 2 * 3600 * kSecond));
  EXPECT_EQ(read.done.at, boundary_from(sent));
  EXPECT_EQ(read.done.status, STATUS_SUCCESS);
  EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 60u + 8u);
  EXPECT_EQ(read.buffer[20], 0xA1);
  // An hour of frames, polled, would be millions of ticks and events.
  EXPECT_LE(scheduler().events_run() - steps, 8u);
  EXPECT_LE(bus_->stats().ticks - ticks, 4u);

  // A frame due exactly at a boundary is seen at that boundary.
  submit(read, bulk_in_);
  const Nanoseconds on_boundary = boundary_after(scheduler().now()) + 600 * kSecond;
  board_->send_from_partner(1, partner_frame(0xA2), on_boundary);
  ASSERT_TRUE(wait(read.done, 3600 * kSecond));
  EXPECT_EQ(read.done.at, on_boundary);
  EXPECT_FALSE(poll.done.done);
  IoCancelIrp(poll.done.irp);
  ASSERT_TRUE(wait(poll.done));
  EXPECT_EQ(poll.done.status, STATUS_CANCELLED);
}

TEST_P(IdleBus, ChangeFromOutsideTheBusIsSeenAtTheNextFrame) {
  bring_up();
  Read read;
  submit(read, bulk_in_);
  scheduler().run_for(100 * kSecond);
  const Nanoseconds injected = scheduler().now() + 250 * kSecond + 777;
  scheduler().schedule_at(
      injected, host::RunLevel::Dispatch,
      [this] { board_->inject_bulk_in_transfer(std::vector<uint8_t>(10, 0x5E)); }, "inject");
  ASSERT_TRUE(wait(read.done, 3600 * kSecond));
  EXPECT_EQ(read.done.at, boundary_after(injected));
  EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

  // A halt from outside ends the read with a STALL at the next frame.
  submit(read, bulk_in_);
  const Nanoseconds halted = scheduler().now() + 42 * kSecond + 31;
  scheduler().schedule_at(
      halted, host::RunLevel::Dispatch,
      [this] { board_->halt_endpoint(board_->bulk_in_endpoint()); }, "halt");
  ASSERT_TRUE(wait(read.done, 3600 * kSecond));
  EXPECT_EQ(read.done.at, boundary_after(halted));
  EXPECT_EQ(read.done.usbd, USBD_STATUS_STALL_PID);
}

// Everything the reads saw, with the time, in order.
struct Seen {
  Nanoseconds at;
  NTSTATUS status;
  ULONG length;
  uint8_t tag;
  bool operator==(const Seen& o) const {
    return at == o.at && status == o.status && length == o.length && tag == o.tag;
  }
};

TEST_P(IdleBus, SkippingIdleFramesChangesNoCompletion) {
  auto run = [this](bool polled) {
    bring_up(polled);
    board_->set_echo(1, true);
    const Nanoseconds start = scheduler().now();
    // Partner frames close together, far apart, and on boundaries; two
    // transfers injected from outside; one frame sent out and echoed.
    const Nanoseconds gaps[] = {3 * kMillisecond + 17,
                                40 * kMicrosecond,
                                1,
                                2 * kSecond,
                                0,
                                period() * 7,
                                123 * kMillisecond + 5,
                                600 * kMicrosecond,
                                9 * kSecond + 3};
    Nanoseconds at = start;
    uint8_t tag = 1;
    for (Nanoseconds gap : gaps) {
      at += gap;
      board_->send_from_partner(1, partner_frame(tag, 60 + 97 * tag), at);
      ++tag;
    }
    for (Nanoseconds when : {start + 1500 * kMillisecond + 3, start + 7 * kSecond + 99}) {
      scheduler().schedule_at(
          when, host::RunLevel::Dispatch,
          [this] { board_->inject_bulk_in_transfer(std::vector<uint8_t>(33, 0xEE)); }, "inject");
    }
    std::vector<uint8_t> out = {60, 0};
    std::vector<uint8_t> frame = partner_frame(0xC0);
    out.insert(out.end(), frame.begin(), frame.end());
    URB send;
    Completion sent;
    scheduler().schedule_at(
        start + 4 * kSecond + 250, host::RunLevel::Passive,
        [&] { bulk(bulk_out_, out.data(), static_cast<ULONG>(out.size()), 0, &send, &sent); },
        "send");

    std::vector<Seen> seen;
    Read read;
    while (seen.size() < std::size(gaps) + 3) {
      submit(read, bulk_in_);
      if (!wait(read.done, 60 * kSecond)) break;
      seen.push_back({read.done.at - start, read.done.status,
                      read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, read.buffer[20]});
    }
    EXPECT_TRUE(sent.done);
    if (!read.done.done) {
      IoCancelIrp(read.done.irp);
      wait(read.done);
    }
    bus_.reset();
    polled_.reset();
    board_.reset();
    return seen;
  };
  std::vector<Seen> polled = run(true);
  std::vector<Seen> skipping = run(false);
  ASSERT_EQ(polled.size(), 12u);
  ASSERT_EQ(skipping.size(), polled.size());
  for (size_t i = 0; i < polled.size(); ++i) {
    EXPECT_EQ(skipping[i], polled[i]) << "read " << i << ": at " << skipping[i].at << " vs "
                                      << polled[i].at << " polling every frame";
  }
}

INSTANTIATE_TEST_SUITE_P(Speeds, IdleBus, ::testing::Values(hw::BusSpeed::Full, hw::BusSpeed::High),
                         [](const auto& info) {
                           return info.param == hw::BusSpeed::Full ? "FullSpeed" : "HighSpeed";
                         });

}  // namespace
}  // namespace usb_test
