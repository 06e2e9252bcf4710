// The receive stream: one adapter comes up honestly and serves input after
// input. Each input is a stream of bulk-in transfers through the board's own
// receive FIFO: frames from the link partner (any length, for the station,
// broadcast, a group or another station), transfers injected as they are
// (any length up to a read, lying trailers and status bytes), status bits
// and CRC errors on the next frames, with the bus running in between.
//
// Checked after every input, once the FIFO is read out: the frames indicated
// are exactly the stream's acceptable frames, in order: every frame the
// partner sent that the filter passes and whose status is clean, every
// injected transfer whose status is clean and whose trailer agrees with it
// (its frame, 14..1514 bytes), and nothing else; frames with a bad status may
// only be missing. Then a frame still comes in and one still goes out.
//
// Input: operations of one code byte each with their arguments (see
// RunOperation); the machine's variant decides the bus speed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

constexpr uint64_t kRebuildEvery = 4096;
constexpr unsigned kMaxOperations = 32;
constexpr size_t kReadSize = 1536;       // the driver's bulk-in read
constexpr size_t kMaxBoardFrame = 1528;  // what the board queues at most
constexpr size_t kReceiveOverhead = 8;   // CRC and trailer behind a frame
constexpr uint8_t kDropStatus = 0x1E;    // runt, too long, CRC, alignment
const hw::MacAddress kStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const hw::MacAddress kPartner = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const hw::MacAddress kOther = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
const hw::MacAddress kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const hw::MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

using Bytes = std::vector<uint8_t>;

struct Expected {
  Bytes frame;
  bool must = true;  // false: a bad status may drop it
};

class ReceiveMachine {
 public:
  ReceiveMachine(unsigned variant, uint64_t /*build*/)
      : config_(MachineBoard(variant)), board_(config_, host::kernel_clock()) {
    board_.set_wire_tap([this](const hw::WireFrame& frame) {
      if (frame.direction == hw::WireDirection::ToPartner) wire_out_.push_back(frame.bytes);
    });
    host::TestbedOptions options;
    options.kernel.seed = 1 + variant;
    bed_ = std::make_unique<host::Testbed>(board_, options);
    if (bed_->initialize_status() != NDIS_STATUS_SUCCESS) Fail("an honest board did not come up");
    bed_->protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);
    period_ = bed_->bus().frame_period();
    CheckStationAddress(bed_->protocol());
    if (!ProbeFlow()) Fail("no traffic through a freshly brought-up adapter");
  }

  ~ReceiveMachine() {
    board_.set_wire_tap(nullptr);
    bed_.reset();
  }

  bool Run(FuzzInput& in) {
    bed_->protocol().clear_records();
    board_.clear_logs();
    wire_out_.clear();
    expected_.clear();
    serial_ = 0;
    status_window_ = 0;
    crc_window_ = 0;
    overflows_ = board_.counters().rx_fifo_overflows;
    for (unsigned i = 0; i < kMaxOperations && !in.empty(); i++)
      RunOperation(in);
    PlayOut();
    CheckStream();
    // Faults armed for frames that never came are not the probe's.
    board_.inject_rx_status(0, 0);
    board_.inject_crc_errors(0);
    if (!ProbeFlow()) Fail("traffic does not flow after the stream; " + State());
    if (Verbose()) {
      std::fprintf(stderr, "%zu frames expected, %zu indicated\n", expected_.size(),
                   bed_->protocol().received_count());
    }
    return true;
  }

 private:
  static hw::BoardConfig MachineBoard(unsigned variant) {
    hw::BoardConfig config = hw::boards::SingleEthernet();
    config.speed = variant == 1 ? hw::BusSpeed::High : hw::BusSpeed::Full;
    config.eeprom = hw::EepromWithAddress(kStation);
    config.phys[0].partner.mac = kPartner;
    return config;
  }

  // Every frame of the stream differs from the others: bytes 12 and 13
  // (where the type goes) carry a serial number.
  Bytes Frame(const hw::MacAddress& to, size_t length, uint8_t tag, uint8_t kind) {
    serial_++;
    Bytes frame(length);
    for (size_t i = 0; i < length; i++)
      frame[i] = static_cast<uint8_t>(i * 7 + tag);
    for (size_t i = 0; i < 6 && i < length; i++)
      frame[i] = to[i];
    for (size_t i = 0; i < 6 && 6 + i < length; i++)
      frame[6 + i] = kPartner[i];
    // Partner frames and injected transfers never look alike.
    if (length > 11) frame[11] = kind;
    if (length > 13) {
      frame[12] = static_cast<uint8_t>(serial_ >> 8);
      frame[13] = static_cast<uint8_t>(serial_);
    }
    return frame;
  }

  void PartnerFrame(FuzzInput& in) {
    const uint8_t choice = in.u8();
    const hw::MacAddress& to = choice % 4 == 0   ? kStation
                               : choice % 4 == 1 ? kBroadcast
                               : choice % 4 == 2 ? kGroup
                                                 : kOther;
    size_t length = in.u16() % 1600;
    if (length < 6) length = 6;
    const Bytes frame = Frame(to, length, in.u8(), 0xA1);
    // What the board will queue: filtered by address, not above a read.
    if (&to != &kOther && length <= kMaxBoardFrame) {
      // The board counts its status and CRC faults apart.
      const bool injected = status_window_ > 0 || crc_window_ > 0;
      if (status_window_ > 0) status_window_--;
      if (crc_window_ > 0) crc_window_--;
      const bool clean = length >= 60 && length <= 1514 && !injected;
      expected_.push_back({frame, clean});
    }
    board_.send_from_partner(board_.first_phy_address(), frame);
  }

  // One transfer exactly as given: a frame, 4 CRC bytes and the trailer,
  // with its length field, status byte and length as the input says.
  void RawTransfer(FuzzInput& in) {
    const size_t length = in.u16() % (kReadSize + 1);
    const uint8_t flags = in.u8();
    Bytes bytes = Frame(kStation, length, in.u8(), 0xB2);
    if (length >= 4) {
      size_t field = length - 4;
      if (flags & 1) field = in.u16();
      bytes[length - 4] = static_cast<uint8_t>(field);
      bytes[length - 3] = static_cast<uint8_t>(field >> 8);
    }
    if (length >= 2) bytes[length - 2] = (flags & 2) ? in.u8() : 0;
    // The driver's rule for what a transfer of n bytes holds.
    const size_t n = length;
    if (n >= 22 && (bytes[n - 2] & kDropStatus) == 0 &&
        ((bytes[n - 4] | (bytes[n - 3] << 8)) & 0x0FFF) == n - 4 && n - kReceiveOverhead <= 1514) {
      expected_.push_back({Bytes(bytes.begin(), bytes.end() - kReceiveOverhead), true});
    }
    board_.inject_bulk_in_transfer(std::move(bytes));
  }

  void RunOperation(FuzzInput& in) {
    switch (in.u8() % 8) {
      case 0:
      case 1:
      case 2:
        PartnerFrame(in);
        break;
      case 3:
        WaitForTheWire();
        RawTransfer(in);
        break;
      case 4: {
        const uint8_t bits = in.u8();
        const unsigned frames = 1 + in.u8() % 4;
        WaitForTheWire();
        board_.inject_rx_status(bits, frames);
        status_window_ = frames;
        break;
      }
      case 5: {
        const unsigned frames = 1 + in.u8() % 4;
        WaitForTheWire();
        board_.inject_crc_errors(frames);
        crc_window_ = frames;
        break;
      }
      case 6:
        bed_->scheduler().run_for((1 + in.u8() % 8) * period_);
        break;
      case 7:
        PlayOut();
        break;
    }
  }

  // The wire carries the partner's frames at the link's rate, so frames sent
  // a moment ago may still wait for it. A transfer injected into the FIFO, or
  // a fault armed for the next frames the MAC takes, comes after them in the
  // stream: the bus runs until they are all on the wire.
  void WaitForTheWire() {
    const uint8_t phy = board_.first_phy_address();
    for (unsigned i = 0; i < 400 && board_.partner_frames_waiting(phy) != 0; i++)
      bed_->scheduler().run_for(period_);
    if (board_.partner_frames_waiting(phy) != 0)
      Fail("the partner's frames never got onto the wire; " + State());
  }

  // Runs the bus until the partner's frames are all off the wire, the FIFO
  // is read out and the last frame indicated.
  void PlayOut() {
    const uint8_t phy = board_.first_phy_address();
    for (unsigned i = 0;
         i < 400 && (board_.rx_fifo_frames() != 0 || board_.partner_frames_waiting(phy) != 0); i++)
      bed_->scheduler().run_for(period_);
    bed_->scheduler().run_for(4 * period_);
  }

  void CheckStream() {
    const auto received = bed_->protocol().received();
    // A full FIFO may have refused any of the partner's frames.
    const bool overflowed = board_.counters().rx_fifo_overflows != overflows_;
    if (Verbose()) {
      std::fprintf(stderr, "  expected:");
      for (const Expected& e : expected_)
        std::fprintf(stderr, " %zu%s", e.frame.size(), e.must ? "" : "?");
      std::fprintf(stderr, "\n  indicated:");
      for (const auto& r : received)
        std::fprintf(stderr, " %zu", r.data.size());
      std::fprintf(stderr, "%s\n", overflowed ? " (the FIFO overflowed)" : "");
    }
    size_t next = 0;
    for (size_t i = 0; i < received.size(); i++) {
      const Bytes& frame = received[i].data;
      bool found = false;
      for (; next < expected_.size(); next++) {
        if (expected_[next].frame == frame) {
          found = true;
          next++;
          break;
        }
        if (expected_[next].must && !overflowed) {
          Fail("frame " + std::to_string(next) + " of the stream (" +
               std::to_string(expected_[next].frame.size()) + " bytes) was not indicated; " +
               std::to_string(frame.size()) + " bytes came in its place; " + State());
        }
      }
      if (!found) {
        Fail("indicated a frame of " + std::to_string(frame.size()) +
             " bytes that is not the stream's next acceptable one; " + State());
      }
    }
    for (; next < expected_.size(); next++) {
      if (expected_[next].must && !overflowed) {
        Fail("frame " + std::to_string(next) + " of the stream (" +
             std::to_string(expected_[next].frame.size()) + " bytes) was never indicated; " +
             State());
      }
    }
  }

  std::string State() {
    const auto* adapter = static_cast<const usbeth::Adapter*>(bed_->adapter_context());
    return "adapter state " + std::to_string(adapter->AdapterState) + ", " +
           std::to_string(adapter->RxIrpsOutstanding) + " reads outstanding, " +
           std::to_string(board_.rx_fifo_frames()) + " frames in the FIFO, " +
           std::to_string(bed_->protocol().received_count()) + " indicated, " +
           std::to_string(expected_.size()) + " expected";
  }

  // A frame from the partner to the station, and one from the station.
  bool ProbeFlow() {
    probe_serial_++;
    const Bytes in_frame = Frame(kStation, 60 + probe_serial_ % 64, probe_serial_, 0xC3);
    Bytes out_frame = Frame(kPartner, 60, probe_serial_, 0xC4);
    const size_t before = bed_->protocol().received_count();
    board_.send_from_partner(board_.first_phy_address(), in_frame);
    bed_->protocol().send(out_frame);
    return bed_->protocol().run_until(
        [&] {
          const bool out =
              std::find(wire_out_.begin(), wire_out_.end(), out_frame) != wire_out_.end();
          return out && bed_->protocol().received_count() > before &&
                 bed_->protocol().received().back().data == in_frame;
        },
        50 * host::kMillisecond);
  }

  hw::BoardConfig config_;
  hw::Board board_;
  std::unique_ptr<host::Testbed> bed_;
  host::Nanoseconds period_ = 0;
  std::vector<Expected> expected_;
  unsigned status_window_ = 0;  // frames still to get the injected status
  unsigned crc_window_ = 0;     // frames still to get a CRC error
  uint64_t overflows_ = 0;
  std::vector<Bytes> wire_out_;
  uint64_t probe_serial_ = 0;
  uint64_t serial_ = 0;
};

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_KEPT_MACHINE_TARGET("fuzz_receive", usbeth::fuzz::ReceiveMachine, 2,
                                usbeth::fuzz::kRebuildEvery)
