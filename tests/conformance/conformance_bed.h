// One adapter as NDIS sees it: the host kernel, the USB bus over a board, the
// NDIS library with the driver loaded and the adapter initialized, and the
// protocol bound above it. Helpers build frames, move them each way with the
// pacing a real sender keeps, and take stock of what is left allocated.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace conformance {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kAdapterTag = 0x52766B30;  // "0kvR"
constexpr uint32_t kRequestTag = 0x206D6457;  // "Wdm "

constexpr uint32_t kFilterDirected = 0x01;
constexpr uint32_t kFilterMulticast = 0x02;
constexpr uint32_t kFilterAllMulticast = 0x04;
constexpr uint32_t kFilterBroadcast = 0x08;
constexpr uint32_t kFilterPromiscuous = 0x20;

struct BedOptions {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  uint64_t seed = 1;
  host::Mode mode = host::Mode::Deterministic;
  unsigned processors = 2;
  double time_scale = 1.0;
  host::usb::CompletionMode completion = host::usb::CompletionMode::Seeded;
  host::ndis::AdapterRegistry registry;
  bool initialize = true;
  // After a successful initialization: accept directed, multicast and
  // broadcast frames and wait until the link poll reported the link up.
  bool bring_up = true;
};

class Bed {
 public:
  explicit Bed(BedOptions options = {})
      : options_(options),
        board_(options.board, host::kernel_clock()),
        bed_(board_, TestbedOptionsFor(options)),
        pool_blocks_before_(host::live_pool_blocks()) {
    if (options.initialize) miniport().initialize();
    if (options.initialize && options.bring_up) {
      EXPECT_EQ(bed_.initialize_status(), NDIS_STATUS_SUCCESS) << "seed " << options.seed;
      if (bed_.initialize_status() == NDIS_STATUS_SUCCESS) {
        EXPECT_TRUE(BringUp()) << "seed " << options.seed;
      }
    }
  }

  host::Testbed& testbed() { return bed_; }
  hw::Board& board() { return board_; }
  host::ndis::Protocol& protocol() { return bed_.protocol(); }
  host::ndis::Miniport& miniport() { return bed_.adapter(); }
  // The driver's link and adapter states, wherever the running driver keeps them.
  ULONG LinkState() const { return bed_.adapter_field("LinkState"); }
  ULONG AdapterState() const { return bed_.adapter_field("AdapterState"); }
  LONG TxIrpsOutstanding() const {
    return static_cast<LONG>(bed_.adapter_field("TxIrpsOutstanding"));
  }
  bool KeepAliveTimerStarted() const { return bed_.adapter_field("KeepAliveTimerStarted") != 0; }
  host::Nanoseconds now() { return bed_.scheduler().now(); }
  uint8_t phy() { return board_.first_phy_address(); }
  uint64_t seed() const { return options_.seed; }

  hw::MacAddress station() { return Mac(board_.peek_registers(0x10, 6)); }
  hw::MacAddress partner() const { return options_.board.phys.at(0).partner.mac; }

  // A frame of `length` bytes with an Ethernet header and a pattern that
  // differs by length and tag.
  static Bytes Frame(const hw::MacAddress& dst, const hw::MacAddress& src, size_t length,
                     uint32_t tag) {
    Bytes f(length);
    for (size_t i = 0; i < length; ++i)
      f[i] = static_cast<uint8_t>(i * 13 + tag * 7 + (i >> 8));
    for (size_t i = 0; i < 6 && i < length; ++i)
      f[i] = dst[i];
    for (size_t i = 0; i < 6 && 6 + i < length; ++i)
      f[6 + i] = src[i];
    if (length >= 14) {
      f[12] = 0x88;
      f[13] = 0xB5;  // local experimental ethertype
    }
    return f;
  }
  Bytes ToPartner(size_t length, uint32_t tag) { return Frame(partner(), station(), length, tag); }
  Bytes ToStation(size_t length, uint32_t tag) { return Frame(station(), partner(), length, tag); }

  bool RunUntil(const std::function<bool()>& condition, host::Nanoseconds limit) {
    return protocol().run_until(condition, limit);
  }
  void RunFor(host::Nanoseconds d) {
    RunUntil([] { return false; }, d);
  }

  bool SetFilter(uint32_t filter, KIRQL irql = PASSIVE_LEVEL) {
    auto r = protocol().set(
        OID_GEN_CURRENT_PACKET_FILTER,
        {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), uint8_t(filter >> 24)},
        host::ndis::CallOptions{irql});
    RunFor(20 * host::kMillisecond);  // the register write reaches the device
    return r->completed && r->status == NDIS_STATUS_SUCCESS;
  }

  size_t MediaIndications(NDIS_STATUS code, size_t from = 0) {
    auto s = protocol().statuses();
    size_t n = 0;
    for (size_t i = from; i < s.size(); ++i)
      n += s[i].code == code;
    return n;
  }
  // Runs until a link poll after `from` indications has reported the link up.
  bool WaitForConnect(size_t from, host::Nanoseconds limit = 15 * host::kSecond) {
    return RunUntil(
        [&] {
          if (protocol().status_count() <= from) return false;
          // The latest media indication; NDIS's own reset start and end
          // indications say nothing about the link.
          const auto statuses = protocol().statuses();
          for (size_t i = statuses.size(); i-- > from;) {
            const NDIS_STATUS code = statuses[i].code;
            if (code == NDIS_STATUS_MEDIA_CONNECT) return LinkState() == usbeth::kLinkUp;
            if (code == NDIS_STATUS_MEDIA_DISCONNECT) return false;
          }
          return false;
        },
        limit);
  }
  bool BringUp() {
    const size_t from = protocol().status_count();
    return SetFilter(kFilterDirected | kFilterMulticast | kFilterBroadcast) && WaitForConnect(from);
  }

  // Sends the frames at `irql`, keeping at most `window` on their way to the
  // wire and retrying a send refused for want of a descriptor. Returns the
  // number of frames the driver accepted.
  size_t Send(const std::vector<Bytes>& frames, KIRQL irql = DISPATCH_LEVEL, size_t window = 8) {
    size_t accepted = 0;
    const uint64_t wire_start = board_.counters().wire_tx_frames;
    for (const Bytes& f : frames) {
      RunUntil([&] { return board_.counters().wire_tx_frames - wire_start + window > accepted; },
               host::kSecond);
      for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t id = protocol().send(f, {}, host::ndis::CallOptions{irql});
        NDIS_STATUS status = protocol().send_status(id);
        if (status == NDIS_STATUS_PENDING || status == NDIS_STATUS_SUCCESS) {
          ++accepted;
          break;
        }
        RunFor(2 * host::kMillisecond);
      }
    }
    return accepted;
  }
  // Waits until the wire has carried `count` frames more than at `start`.
  bool WaitForWire(uint64_t start, size_t count, host::Nanoseconds limit = 5 * host::kSecond) {
    return RunUntil([&] { return board_.counters().wire_tx_frames >= start + count; }, limit);
  }

  // The partner sends the frames, a few at a time so that the controller's
  // receive FIFO never overflows. Returns true when NDIS got them all.
  bool PartnerSend(const std::vector<Bytes>& frames, size_t batch = 4) {
    size_t expected = protocol().received_count();
    for (size_t i = 0; i < frames.size(); i += batch) {
      for (size_t j = i; j < frames.size() && j < i + batch; ++j) {
        board_.send_from_partner(phy(), frames[j]);
        ++expected;
      }
      if (!RunUntil([&] { return protocol().received_count() >= expected; }, host::kSecond)) {
        return false;
      }
    }
    return true;
  }

  // Ten frames each way after a disturbance: the link is waited for, then
  // the partner sees exactly what was sent and NDIS gets exactly what the
  // partner sent, in order.
  void ExpectTrafficBothWays(uint32_t tag) {
    const size_t from = protocol().status_count();
    // The restart sets the media up again; wait for the link to be back.
    if (LinkState() != usbeth::kLinkUp) {
      ASSERT_TRUE(WaitForConnect(from));
    }
    // Frames sent before the reset may still be on their way to the wire; let
    // them land so that the ten below are the last ten the partner sees.
    ASSERT_TRUE(RunUntil([&] { return TxIrpsOutstanding() == 0; }, host::kSecond));
    const uint64_t wire = board().counters().wire_tx_frames;
    std::vector<Bytes> out, in;
    for (uint32_t i = 0; i < 10; ++i) {
      out.push_back(ToPartner(60 + 140 * i, tag + i));
      in.push_back(ToStation(60 + 140 * i, tag + i));
    }
    ASSERT_EQ(Send(out), out.size());
    ASSERT_TRUE(WaitForWire(wire, out.size()));
    auto wire_frames = board().frames_sent_to_partner();
    std::vector<Bytes> last(out.size());
    for (size_t i = 0; i < out.size(); ++i)
      last[i] = wire_frames[wire_frames.size() - out.size() + i].bytes;
    EXPECT_EQ(last, out);
    const size_t before = protocol().received_count();
    ASSERT_TRUE(PartnerSend(in));
    auto got = protocol().received();
    std::vector<Bytes> tail;
    for (size_t i = before; i < got.size(); ++i)
      tail.push_back(got[i].data);
    EXPECT_EQ(tail, in);
  }

  // Everything the adapter holds, for the checks after halt or a failed
  // initialization.
  void ExpectNothingLeft(const std::string& where) {
    EXPECT_EQ(bed_.ndis().live_memory_blocks(), 0u) << where << "\n"
                                                    << bed_.ndis().resource_report();
    // By tag: the adapter record and the request URBs of the driver.
    EXPECT_EQ(host::live_pool_blocks_with_tag(kAdapterTag), 0u) << where;
    EXPECT_EQ(host::live_pool_blocks_with_tag(kRequestTag), 0u) << where;
    // The protocol and the bus keep their own blocks; the driver none.
    EXPECT_EQ(host::live_pool_blocks(), pool_blocks_before_) << where;
    EXPECT_EQ(host::counters().irps_live, 0) << where;
    EXPECT_EQ(bed_.bus().pending_irps(), 0u) << where;
    EXPECT_EQ(bed_.ndis().armed_timers(), 0u) << where;
    EXPECT_FALSE(miniport().shutdown_handler_registered()) << where;
  }

 private:
  static hw::MacAddress Mac(const Bytes& b) {
    hw::MacAddress m{};
    for (size_t i = 0; i < 6; ++i)
      m[i] = b[i];
    return m;
  }
  static host::TestbedOptions TestbedOptionsFor(const BedOptions& o) {
    host::TestbedOptions t;
    t.kernel.seed = o.seed;
    t.kernel.mode = o.mode;
    t.kernel.processors = o.processors;
    t.kernel.time_scale = o.time_scale;
    t.bus.completion = o.completion;
    t.registry = o.registry;
    t.initialize = false;  // done by the bed, once the pool is counted
    return t;
  }

  BedOptions options_;
  hw::Board board_;
  host::Testbed bed_;
  size_t pool_blocks_before_;
};

}  // namespace conformance
