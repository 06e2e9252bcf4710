// The hostile device while running. One adapter comes up honestly and serves
// input after input. Each input plays the bulk-in pipe (transfers of any
// length and content, status trailers, packet splits with or without the
// ending zero-length packet, stalls), decides how the bus carries bulk
// requests (errors, stall handshakes, late, refused or completed at once),
// and interleaves sends of any length, statistics queries, resets and the
// passing of time.
//
// Checked after every step: each indicated frame is 14..1514 bytes and is
// exactly the front of one bulk-in transfer the device played (packets in
// order, none skipped back, nothing invented or glued); no malformed bulk-out
// transfer reaches the device. Checked after every input: a frame still
// comes in and one still goes out on the wire intact, at once or after the
// reset NDIS makes when the check-for-hang handler reports the hang;
// the station address is a unicast one.
//
// Input: operations of one code byte each with their arguments (see
// RunOperation); the machine's variant decides the bus speed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

using host::usb::RequestFault;

constexpr size_t kMinFrame = 14;
constexpr size_t kMaxFrame = 1514;
constexpr size_t kReceiveOverhead = 8;  // CRC and status trailer after the frame
constexpr unsigned kMaxOperations = 48;
// What one input may put on the pipes: every packet and every frame costs
// bus time, and throughput is what finds faults.
constexpr size_t kMaxPacketsPerInput = 192;
constexpr size_t kMaxPacketsPerShortSplit = 8;
constexpr unsigned kMaxSendsPerInput = 12;
constexpr uint64_t kRebuildEvery = 4096;
// A reset the input asks for costs as much as hundreds of inputs: one in so
// many inputs may make one (a new machine may at once).
constexpr uint64_t kInputsPerReset = 256;
const NDIS_OID kQueries[] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_802_3_RCV_ERROR_ALIGNMENT,
                             OID_GEN_CURRENT_PACKET_FILTER};
// A request that hangs until cancelled is not among them: nothing but a halt
// ends it (the reset for a hang does not), so it would cost the machine, and
// every kept machine's teardown cancels its hanging read anyway.
const RequestFault kBulkFaults[] = {RequestFault::None,  RequestFault::Refuse, RequestFault::Error,
                                    RequestFault::Stall, RequestFault::AtOnce, RequestFault::AtOnce,
                                    RequestFault::Late};
const hw::MacAddress kPartner = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

hw::BoardConfig MachineBoard(unsigned variant) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.speed = variant == 1 ? hw::BusSpeed::High : hw::BusSpeed::Full;
  // A reset renegotiates the link; a quick partner keeps resets cheap.
  config.timing.autoneg_ns = 10 * hw::kMillisecond;
  config.phys[0].partner.mac = kPartner;
  return config;
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit = 24) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < bytes.size() && i < limit; i++) {
    std::snprintf(text, sizeof text, "%02X ", bytes[i]);
    out += text;
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

class DatapathMachine {
 public:
  DatapathMachine(unsigned variant, uint64_t /*build*/)
      : config_(MachineBoard(variant)),
        board_(config_, host::kernel_clock()),
        device_(board_),
        max_packet_(config_.speed == hw::BusSpeed::High ? 512u : 64u) {
    device_.script_bulk_in = true;
    device_.record_played = true;
    board_.set_wire_tap([this](const hw::WireFrame& frame) {
      if (frame.direction == hw::WireDirection::ToPartner) wire_out_.push_back(frame.bytes);
    });
    host::TestbedOptions options;
    options.kernel.seed = 1 + variant;
    bed_ = std::make_unique<host::Testbed>(device_, options);
    if (bed_->initialize_status() != NDIS_STATUS_SUCCESS) Fail("an honest board did not come up");
    bed_->bus().set_request_rule([this](const host::usb::RequestInfo& info) {
      if (!info.bulk || bulk_faults_.empty()) return RequestFault::None;
      const RequestFault fault = bulk_faults_.front();
      bulk_faults_.pop_front();
      if (Verbose()) {
        std::fprintf(stderr, "  bulk %s request of %u bytes at %llu us: fault %d\n",
                     info.in ? "in" : "out", info.length,
                     static_cast<unsigned long long>(bed_->scheduler().now() / 1000),
                     static_cast<int>(fault));
      }
      return fault;
    });
    period_ = bed_->bus().frame_period();
    bed_->protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);
    CheckStationAddress(bed_->protocol());
    // The machine starts from a known good state: both ways work.
    if (ProbeFlow() != Probe::Flowed) Fail("no traffic through a freshly brought-up adapter");
  }

  ~DatapathMachine() {
    bed_->bus().set_request_rule(nullptr);
    board_.set_wire_tap(nullptr);
    bed_.reset();
  }

  // Runs one input; false when it left the machine in a state only a new
  // machine clears.
  bool Run(FuzzInput& in) {
    StartInput();
    for (unsigned i = 0; i < kMaxOperations && !in.empty(); i++) {
      RunOperation(in);
      CheckIndications();
    }
    CheckTransfersOut();
    const bool ok = Recover();
    if (Verbose()) {
      std::fprintf(stderr,
                   "%zu frames indicated, %zu sends completed, %zu packets played, %zu frames on "
                   "the wire, %s\n",
                   indicated_, bed_->protocol().send_completion_count(), device_.played.size(),
                   wire_out_.size(), ok ? "traffic flows" : "new machine");
    }
    return ok;
  }

 private:
  // A probe's limit: longer than a late completion (20 ms) and a bulk-out
  // transfer queued behind a full frame's worth of sends.
  static constexpr host::Nanoseconds kProbeTime = 50 * host::kMillisecond;

  void StartInput() {
    inputs_since_reset_++;
    device_.played.clear();
    device_.ClearScript();
    played_cursor_ = 0;
    indicated_ = 0;
    transfers_ended_ = 0;
    probes_in_flight_ = 0;
    packets_queued_ = 0;
    sends_ = 0;
    wire_out_.clear();
    bulk_faults_.clear();
    bed_->protocol().clear_records();
    board_.clear_logs();
  }

  // One bulk-in transfer as packets: `chunk` bytes each (the last one
  // short), and a zero-length packet when the length is a multiple of the
  // chunk and the input asks for it.
  void QueueTransfer(FuzzInput& in) {
    const size_t length = in.u16() % 1800;
    const uint8_t tag = in.u8();
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
      bytes[i] = static_cast<uint8_t>(i * 13 + tag);
    const size_t raw = std::min<size_t>(in.u8(), length);
    for (size_t i = 0; i < raw; i++)
      bytes[i] = in.u8();
    // The trailer: its length field (frame and CRC) as the device would write
    // it unless the input says otherwise, then the status byte.
    if (length >= 4 && (tag & 2)) {
      const size_t field = length - 4;
      bytes[length - 4] = static_cast<uint8_t>(field);
      bytes[length - 3] = static_cast<uint8_t>(field >> 8);
    }
    if (length >= 2) bytes[length - 2] = in.u8();
    const uint8_t split = in.u8();
    size_t chunk = split == 0 ? max_packet_ : 1 + split % max_packet_;
    // Short packets each end a transfer: a few make the point.
    if (chunk < max_packet_) {
      chunk = std::max(chunk, (length + kMaxPacketsPerShortSplit - 1) / kMaxPacketsPerShortSplit);
      chunk = std::min(chunk, max_packet_);
    }
    if (packets_queued_ + length / chunk + 1 > kMaxPacketsPerInput) return;
    PushTransfer(bytes, chunk, (tag & 1) != 0);
  }

  void PushTransfer(const std::vector<uint8_t>& bytes, size_t chunk, bool zero_length_end) {
    const size_t length = bytes.size();
    for (size_t pos = 0; pos < length; pos += chunk) {
      const size_t n = std::min(chunk, length - pos);
      packets_queued_++;
      device_.Play(
          {hw::Handshake::Ack, std::vector<uint8_t>(bytes.begin() + pos, bytes.begin() + pos + n)});
      transfers_ended_++;  // every packet may end one (short, or the buffer full)
    }
    if (length == 0 || (length % chunk == 0 && zero_length_end)) {
      device_.Play({hw::Handshake::Ack, {}});
      transfers_ended_++;
    }
  }

  void SendFrame(FuzzInput& in) {
    const size_t length = in.u16() % 1600;
    const uint8_t first_buffer = in.u8();
    if (++sends_ > kMaxSendsPerInput) return;
    std::vector<uint8_t> frame(length, 0x3C);
    for (size_t i = 0; i < 6 && i < length; i++)
      frame[i] = 0xFF;
    std::vector<size_t> buffers;
    if (first_buffer != 0 && length != 0) buffers.push_back(first_buffer % length);
    bed_->protocol().send(frame, buffers);
  }

  void RunOperation(FuzzInput& in) {
    switch (in.u8() % 10) {
      case 0:
      case 1:
      case 2:
        QueueTransfer(in);
        break;
      case 3:
        bed_->scheduler().run_for((1 + in.u8() % 8) * period_);
        break;
      case 4:
        device_.Play({hw::Handshake::Stall, {}});
        transfers_ended_++;
        break;
      case 5:
        SendFrame(in);
        break;
      case 6:
        bulk_faults_.push_back(kBulkFaults[in.u8() % 7]);
        break;
      case 7:
        bed_->protocol().query(kQueries[in.u8() % 4], 4);
        break;
      case 8:
        if (in.u8() % 4 == 0 && inputs_since_reset_ >= kInputsPerReset) {
          inputs_since_reset_ = 0;
          bed_->protocol().reset();
          CheckStationAddress(bed_->protocol());
        }
        break;
      case 9:
        PlayOut();
        break;
    }
  }

  // Each new indication is 14..1514 bytes and the front of the next bulk-in
  // transfer the device played that can hold it: the packets from some point
  // after the previous frame's, all full but the last, adding up to the
  // frame and its 8 bytes of CRC and trailer.
  void CheckIndications() {
    const size_t count = bed_->protocol().received_count();
    if (count == indicated_) return;
    const auto received = bed_->protocol().received();
    for (; indicated_ < received.size(); indicated_++) {
      const std::vector<uint8_t>& frame = received[indicated_].data;
      if (frame.size() < kMinFrame || frame.size() > kMaxFrame) {
        Fail("indicated a frame of " + std::to_string(frame.size()) + " bytes");
      }
      if (!MatchPlayed(frame)) {
        Fail("indicated a frame the device never sent as one transfer: " +
             std::to_string(frame.size()) + " bytes " + Hex(frame));
      }
    }
    if (indicated_ > transfers_ended_ + probes_in_flight_) {
      Fail(std::to_string(indicated_) + " frames indicated from at most " +
           std::to_string(transfers_ended_) + " bulk-in transfers");
    }
  }

  bool MatchPlayed(const std::vector<uint8_t>& frame) {
    const auto& played = device_.played;
    const size_t want = frame.size() + kReceiveOverhead;
    for (size_t start = played_cursor_; start < played.size(); start++) {
      size_t have = 0;
      bool same = true;
      size_t end = start;
      for (; end < played.size() && have < want && same; end++) {
        const auto& packet = played[end];
        for (size_t i = 0; i < packet.size() && have + i < frame.size(); i++) {
          if (packet[i] != frame[have + i]) {
            same = false;
            break;
          }
        }
        have += packet.size();
        // Only a full packet lets a transfer go on.
        if (packet.size() != max_packet_) {
          end++;
          break;
        }
      }
      if (same && have == want) {
        played_cursor_ = end;
        return true;
      }
    }
    return false;
  }

  // Whatever it was asked to send, the driver must hand the device only
  // well-formed transfers: a length prefix of 1..1514 and the frame behind it.
  void CheckTransfersOut() {
    const hw::Counters counters = board_.counters();
    if (counters.tx_bad_length != 0 || counters.tx_short_transfers != 0 ||
        counters.tx_oversize_transfers != 0) {
      Fail("malformed bulk-out transfers: " + std::to_string(counters.tx_bad_length) +
           " bad lengths, " + std::to_string(counters.tx_short_transfers) + " short, " +
           std::to_string(counters.tx_oversize_transfers) + " oversize");
    }
  }

  // Runs the bus until the device has played every packet queued, or
  // stops when nobody has read one for a few (micro)frames.
  void PlayOut() {
    size_t left = device_.unplayed();
    for (unsigned idle = 0; left != 0 && idle < 4;) {
      bed_->scheduler().run_for(period_);
      idle = device_.unplayed() == left ? idle + 1 : 0;
      left = device_.unplayed();
    }
  }

  // After the input: the device honest again, with nothing left half-played.
  // Traffic must flow both ways at once, or after the reset NDIS makes when
  // the check-for-hang handler reports a hang.
  bool Recover() {
    bulk_faults_.clear();
    device_.ClearScript();
    switch (ProbeFlow()) {
      case Probe::Flowed:
        return true;
      case Probe::Stuck:
        Fail("traffic stopped and the check-for-hang handler reports no hang; " + State());
      case Probe::HangReset:
        break;
    }
    // The reset NDIS started for the hang runs at PASSIVE_LEVEL from a work item.
    if (!bed_->protocol().run_until([&] { return !bed_->adapter().reset_pending(); },
                                    10 * host::kSecond)) {
      Fail("the reset for a hang did not complete in 10 s");
    }
    CheckStationAddress(bed_->protocol());
    device_.ClearScript();
    if (ProbeFlow() != Probe::Flowed) {
      Fail("traffic does not flow after the reset for a hang; " + State());
    }
    return true;
  }

  enum class Probe { Flowed, Stuck, HangReset };

  // What the adapter and the bus hold, for a failure's message.
  std::string State() {
    const auto* adapter = static_cast<const usbeth::Adapter*>(bed_->adapter_context());
    return "adapter state " + std::to_string(adapter->AdapterState) + ", " +
           std::to_string(adapter->RxIrpsOutstanding) + " reads and " +
           std::to_string(adapter->TxIrpsOutstanding) + " bulk-out IRPs outstanding, " +
           std::to_string(bed_->bus().pending_irps()) + " IRPs at the bus, " +
           std::to_string(device_.unplayed()) + " packets unplayed, link " +
           (board_.phy_state(board_.first_phy_address()).link_up ? "up" : "down");
  }

  // A frame in through the bulk-in pipe (behind a zero-length packet that
  // ends whatever transfer is half-played) and one out to the wire, both to
  // arrive intact. While they do not, NDIS's check for a hang is made every
  // (micro)frame instead of every few seconds: a reset it starts ends the
  // probe. Stuck after kProbeTime without either.
  Probe ProbeFlow() {
    probe_serial_++;
    std::vector<uint8_t> in_frame(60, 0);
    std::fill(in_frame.begin(), in_frame.begin() + 6, 0xFF);
    std::copy(kPartner.begin(), kPartner.end(), in_frame.begin() + 6);
    in_frame[12] = 0x88;
    in_frame[13] = 0xB5;
    for (size_t i = 14; i < in_frame.size(); i++)
      in_frame[i] = static_cast<uint8_t>(probe_serial_ * 7 + i);
    std::vector<uint8_t> transfer = in_frame;
    transfer.insert(transfer.end(), {0xC0, 0xC1, 0xC2, 0xC3});  // CRC, not checked
    const size_t field = in_frame.size() + 4;
    transfer.insert(transfer.end(),
                    {static_cast<uint8_t>(field), static_cast<uint8_t>(field >> 8), 0x00, 0x00});
    device_.Play({hw::Handshake::Ack, {}});
    probes_in_flight_ += 2;  // the zero-length packet may end a transfer too
    PushTransfer(transfer, max_packet_, true);

    std::vector<uint8_t> out_frame = in_frame;
    std::copy(kPartner.begin(), kPartner.end(), out_frame.begin());
    out_frame[6] = 0x02;  // any source: the driver sends what it is given
    const size_t wire_before = wire_out_.size();
    bed_->protocol().send(out_frame);

    auto arrived_in = [&] {
      const size_t before = indicated_;
      CheckIndications();
      if (indicated_ == before) return false;
      return bed_->protocol().received().back().data == in_frame;
    };
    auto arrived_out = [&] {
      for (size_t i = wire_before; i < wire_out_.size(); i++)
        if (wire_out_[i] == out_frame) return true;
      return false;
    };
    bool in_ok = false;
    bool out_ok = false;
    const host::Nanoseconds deadline = bed_->scheduler().now() + kProbeTime;
    const uint64_t hang_resets = bed_->adapter().hang_resets();
    while (bed_->scheduler().now() < deadline) {
      bed_->scheduler().run_for(period_);
      in_ok = in_ok || arrived_in();
      out_ok = out_ok || arrived_out();
      if (in_ok && out_ok) return Probe::Flowed;
      // The periodic check may have come first.
      if (bed_->adapter().check_for_hang() || bed_->adapter().hang_resets() != hang_resets) {
        return Probe::HangReset;
      }
    }
    return Probe::Stuck;
  }

  hw::BoardConfig config_;
  hw::Board board_;
  HostileDevice device_;
  size_t max_packet_;
  host::Nanoseconds period_ = 0;
  std::deque<RequestFault> bulk_faults_;
  std::unique_ptr<host::Testbed> bed_;

  // Per input.
  size_t played_cursor_ = 0;
  size_t indicated_ = 0;
  uint64_t transfers_ended_ = 0;
  uint64_t probes_in_flight_ = 0;
  size_t packets_queued_ = 0;
  unsigned sends_ = 0;
  uint64_t probe_serial_ = 0;
  uint64_t inputs_since_reset_ = kInputsPerReset;
  std::vector<std::vector<uint8_t>> wire_out_;
};

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_KEPT_MACHINE_TARGET("fuzz_datapath", usbeth::fuzz::DatapathMachine, 2,
                                usbeth::fuzz::kRebuildEvery)
