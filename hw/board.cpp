#include "hw/board.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "hw/descriptors.h"
#include "hw/ethernet.h"
#include "hw/registers.h"

namespace hw {
namespace {

constexpr uint8_t kRequestGetStatus = 0;
constexpr uint8_t kRequestClearFeature = 1;
constexpr uint8_t kRequestSetFeature = 3;
constexpr uint8_t kRequestSetAddress = 5;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestGetConfiguration = 8;
constexpr uint8_t kRequestSetConfiguration = 9;
constexpr uint8_t kRequestGetInterface = 10;
constexpr uint8_t kRequestSetInterface = 11;
constexpr uint8_t kRequestReadRegisters = 0xF0;
constexpr uint8_t kRequestWriteRegisters = 0xF1;
constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kFeatureRemoteWakeup = 1;

constexpr size_t kMaxFrame = 1514;          // without frame check sequence
constexpr size_t kMinFrame = 60;            // without frame check sequence
constexpr size_t kMaxReceivedFrame = 1528;  // frame + 8 fills a 1536-byte read
constexpr size_t kMaxOutTransfer = 2048;    // the transmit buffer of the MAC
constexpr size_t kPaddedTransfer = 60;

uint64_t After(uint64_t now, uint64_t delay) {
  return delay == kNever ? kNever : now + delay;
}

ControlResult Stall() {
  return {Handshake::Stall, 0};
}

ControlResult DataIn(const uint8_t* src, size_t n, const SetupPacket& setup, uint8_t* data) {
  size_t actual = std::min<size_t>(n, setup.wLength);
  if (actual > 0 && data == nullptr) return Stall();
  if (actual > 0) std::memcpy(data, src, actual);
  return {Handshake::Ack, actual};
}

}  // namespace

// Holds the board's lock for one call and brings the model up to the clock
// first; frames for the wire tap are handed over once the lock is released,
// and a call that changes the board (`changes`) then calls the change hook.
class Board::Session {
 public:
  enum Kind { kObserves, kChanges };
  explicit Session(Board* board, Kind kind = kObserves)
      : board_(board), lock_(board->mu_), changes_(kind == kChanges) {
    board_->AdvanceLocked();
  }
  ~Session() {
    // Most calls leave nothing for the taps: the lock is then simply dropped,
    // with no copy of a tap or a hook.
    const bool frames_due = !board_->tap_pending_.empty();
    const bool fates_due = !board_->fate_pending_.empty();
    if (!frames_due && !fates_due && !(changes_ && board_->change_hook_)) return;
    std::shared_ptr<const std::function<void()>> hook;
    if (changes_) hook = board_->change_hook_;
    // The records go out in this thread's spare lists, and the board keeps
    // theirs: neither list is allocated anew at every call.
    thread_local std::vector<WireFrame> spare_frames;
    thread_local std::vector<FrameFateRecord> spare_fates;
    std::vector<WireFrame> frames;
    std::shared_ptr<const std::function<void(const WireFrame&)>> tap;
    if (frames_due) {
      frames.swap(spare_frames);
      frames.swap(board_->tap_pending_);
      tap = board_->tap_;
    }
    std::vector<FrameFateRecord> fates;
    std::shared_ptr<const std::function<void(const FrameFateRecord&)>> fate_tap;
    if (fates_due) {
      fates.swap(spare_fates);
      fates.swap(board_->fate_pending_);
      fate_tap = board_->fate_tap_;
    }
    lock_.unlock();
    if (tap) {
      for (const WireFrame& frame : frames)
        (*tap)(frame);
      frames.clear();
      spare_frames.swap(frames);
    }
    if (fate_tap) {
      for (const FrameFateRecord& fate : fates)
        (*fate_tap)(fate);
      fates.clear();
      spare_fates.swap(fates);
    }
    if (hook) (*hook)();
  }
  // The call changed the board after all: the change hook is called.
  void Changes() { changes_ = true; }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  Board* board_;
  std::unique_lock<std::mutex> lock_;
  bool changes_;
};

Board::Board(BoardConfig config, Clock clock)
    : config_(std::move(config)), clock_(std::move(clock)) {
  if (config_.phys.size() > 10) throw std::invalid_argument("a board holds at most ten PHYs");
  std::set<uint8_t> addresses;
  for (const PhyConfig& p : config_.phys) {
    if (p.mii_address > 31 || !addresses.insert(p.mii_address).second) {
      throw std::invalid_argument("PHY MII addresses must be distinct and 0..31");
    }
  }
  now_ = clock_ ? clock_() : 0;
  device_descriptor_ = BuildDeviceDescriptor(config_.descriptors, config_.speed);
  configuration_descriptor_ = BuildConfigurationDescriptor(config_.descriptors, config_.speed);
  bulk_in_ep_ = bulk_out_ep_ = interrupt_ep_ = 0;
  for (const EndpointConfig& ep : config_.descriptors.endpoints) {
    bool in = (ep.address & 0x80) != 0;
    if (ep.kind == EndpointKind::Bulk && in && bulk_in_ep_ == 0) bulk_in_ep_ = ep.address;
    if (ep.kind == EndpointKind::Bulk && !in && bulk_out_ep_ == 0) bulk_out_ep_ = ep.address;
    if (ep.kind == EndpointKind::Interrupt && in && interrupt_ep_ == 0) interrupt_ep_ = ep.address;
  }
  eeprom_ = config_.eeprom;
  // The controller loads the station address from the EEPROM at power-on.
  for (int i = 0; i < 3; ++i) {
    regs_[reg::kStationAddress + 2 * i] = static_cast<uint8_t>(eeprom_[i]);
    regs_[reg::kStationAddress + 2 * i + 1] = static_cast<uint8_t>(eeprom_[i] >> 8);
  }
  regs_[reg::kEepromControl] = reg::kEepromDone;
  regs_[reg::kMiiControl] = reg::kMiiDone;
  for (const PhyConfig& p : config_.phys) {
    phys_.push_back(std::make_unique<Phy>(p, p.timing ? *p.timing : config_.timing, now_));
  }
}

Board::~Board() = default;

// ---------------------------------------------------------------------------
// Time

uint64_t Board::Now() {
  uint64_t t = clock_ ? clock_() : now_;
  now_ = std::max(now_, t);  // the model never goes back in time
  return now_;
}

void Board::AdvanceLocked() {
  uint64_t now = Now();
  for (uint64_t t = NextEventLocked(); t <= now; t = NextEventLocked())
    FireAt(t);
}

uint64_t Board::NextEventLocked() const {
  uint64_t t = std::min({mac_reset_until_, eeprom_done_at_, mii_done_at_});
  for (const auto& phy : phys_)
    t = std::min(t, phy->NextEvent());
  if (!script_.empty()) t = std::min(t, script_.begin()->first.first);
  for (const auto& [address, rx] : rx_wire_) {
    if (!rx.waiting.empty()) t = std::min(t, rx.free_at);
  }
  return t;
}

// Runs one event due at t; the caller loops until nothing is due.
void Board::FireAt(uint64_t t) {
  if (mac_reset_until_ <= t) {
    mac_reset_until_ = kNever;
    regs_[reg::kRxCtl1] &= static_cast<uint8_t>(~reg::kMacReset);
    return;
  }
  if (eeprom_done_at_ <= t) {
    eeprom_done_at_ = kNever;
    FinishEepromOp();
    return;
  }
  if (mii_done_at_ <= t) {
    mii_done_at_ = kNever;
    FinishMiiOp(t);
    return;
  }
  for (const auto& phy : phys_) {
    if (phy->NextEvent() <= t) {
      phy->Fire(t);
      return;
    }
  }
  for (auto& [address, rx] : rx_wire_) {
    if (!rx.waiting.empty() && rx.free_at <= t) {
      std::vector<uint8_t> frame = std::move(rx.waiting.front());
      rx.waiting.pop_front();
      StartFromPartner(address, std::move(frame), t);
      return;
    }
  }
  auto first = script_.begin();
  ScriptItem item = std::move(first->second);
  script_.erase(first);
  RunScriptItem(item, t);
}

void Board::advance() {
  Session session(this);
}

uint64_t Board::naks_until(uint8_t endpoint_address) {
  Session session(this);
  const uint8_t number = endpoint_address & 0x0F;
  if (interrupt_ep_ != 0 && number == (interrupt_ep_ & 0x0F)) return kNever;
  if (bulk_out_ep_ != 0 && number == bulk_out_ep_) {
    // NAKed while the frame taken last waits for the wire: until it starts.
    return std::max(now_, tx_last_start_);
  }
  if (!fifo_.empty() || !in_frame_.empty() || in_zero_length_due_) return now_;
  // Only a due event can fill the FIFO: any of them is taken as one.
  return NextEventLocked();
}

void Board::set_change_hook(std::function<void()> hook) {
  Session session(this);
  change_hook_ = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

// ---------------------------------------------------------------------------
// Control endpoint

ControlResult Board::control(const SetupPacket& setup, uint8_t* data) {
  Session session(this);
  uint64_t request = ++request_seq_;
  ++counters_.control_requests;
  ControlResult result;
  switch (setup.bmRequestType & 0x60) {
    case 0x00:
      result = StandardRequest(setup, data);
      break;
    case 0x40:
      result = VendorRequest(setup, data, request);
      break;
    default:
      result = Stall();
      break;
  }
  if (result.handshake == Handshake::Stall) ++counters_.control_stalls;
  control_log_.push_back({now_, request, setup, result.handshake, result.actual});
  return result;
}

ControlResult Board::StandardRequest(const SetupPacket& setup, uint8_t* data) {
  const uint8_t type = setup.bmRequestType;
  const uint8_t recipient = type & 0x1F;
  const bool in = (type & 0x80) != 0;
  switch (setup.bRequest) {
    case kRequestGetStatus: {
      if (!in) return Stall();
      uint8_t status[2] = {0, 0};
      if (recipient == 0) {
        status[0] = remote_wakeup_ ? 0x02 : 0x00;  // bus powered
      } else if (recipient == 1) {
        if (setup.wIndex != 0) return Stall();
      } else if (recipient == 2) {
        uint8_t ep = static_cast<uint8_t>(setup.wIndex);
        if ((ep & 0x7F) != 0) {
          if (!EndpointKnown(ep)) return Stall();
          status[0] = halted_.count(ep) ? 1 : 0;
        }
      } else {
        return Stall();
      }
      return DataIn(status, sizeof status, setup, data);
    }
    case kRequestClearFeature:
    case kRequestSetFeature: {
      if (in) return Stall();
      bool set = setup.bRequest == kRequestSetFeature;
      if (recipient == 0 && setup.wValue == kFeatureRemoteWakeup) {
        if (!config_.descriptors.remote_wakeup_capable) return Stall();
        remote_wakeup_ = set;
        return {Handshake::Ack, 0};
      }
      if (recipient == 2 && setup.wValue == kFeatureEndpointHalt) {
        uint8_t ep = static_cast<uint8_t>(setup.wIndex);
        if ((ep & 0x7F) == 0) return {Handshake::Ack, 0};
        if (!EndpointKnown(ep)) return Stall();
        if (set) {
          halted_.insert(ep);
        } else {
          halted_.erase(ep);
        }
        return {Handshake::Ack, 0};
      }
      return Stall();
    }
    case kRequestSetAddress:
      if (type != 0x00 || setup.wValue > 127) return Stall();
      usb_address_ = static_cast<uint8_t>(setup.wValue);
      return {Handshake::Ack, 0};
    case kRequestGetDescriptor: {
      if (type != 0x80) return Stall();
      uint8_t kind = static_cast<uint8_t>(setup.wValue >> 8);
      uint8_t index = static_cast<uint8_t>(setup.wValue);
      if (kind == kDescriptorDevice) {
        return DataIn(device_descriptor_.data(), device_descriptor_.size(), setup, data);
      }
      if (kind == kDescriptorConfiguration && index == 0) {
        return DataIn(configuration_descriptor_.data(), configuration_descriptor_.size(), setup,
                      data);
      }
      if (kind == kDescriptorQualifier && config_.speed == BusSpeed::High) {
        std::vector<uint8_t> q = BuildQualifierDescriptor();
        return DataIn(q.data(), q.size(), setup, data);
      }
      return Stall();  // no strings, no other speed configuration
    }
    case kRequestGetConfiguration:
      if (type != 0x80) return Stall();
      return DataIn(&configuration_, 1, setup, data);
    case kRequestSetConfiguration: {
      const uint8_t value = static_cast<uint8_t>(setup.wValue);
      if (type != 0x00 || (value != 0 && value != config_.descriptors.configuration_value)) {
        return Stall();
      }
      configuration_ = static_cast<uint8_t>(setup.wValue);
      halted_.clear();
      out_transfer_.clear();
      out_overrun_ = false;
      return {Handshake::Ack, 0};
    }
    case kRequestGetInterface: {
      if (type != 0x81 || configuration_ == 0 || setup.wIndex != 0) return Stall();
      uint8_t alternate = 0;
      return DataIn(&alternate, 1, setup, data);
    }
    case kRequestSetInterface:
      if (type != 0x01 || configuration_ == 0 || setup.wIndex != 0 || setup.wValue != 0) {
        return Stall();
      }
      return {Handshake::Ack, 0};
    default:
      return Stall();
  }
}

ControlResult Board::VendorRequest(const SetupPacket& setup, uint8_t* data, uint64_t request) {
  const bool read = setup.bRequest == kRequestReadRegisters && setup.bmRequestType == 0xC0;
  const bool write = setup.bRequest == kRequestWriteRegisters && setup.bmRequestType == 0x40;
  if (!read && !write) return Stall();
  if (vendor_stall_rule_ && vendor_stall_rule_(setup)) return Stall();
  const size_t first = setup.wIndex;
  const size_t count = setup.wLength;
  if (first + count > regs_.size()) return Stall();  // past the register file
  if (count > 0 && data == nullptr) return Stall();

  if (read) {
    std::memcpy(data, regs_.data() + first, count);
    reads_.push_back(
        {now_, request, setup.wIndex, setup.wLength, std::vector<uint8_t>(data, data + count)});
    return {Handshake::Ack, count};
  }
  // The data stage is what is written; wValue is not consulted.
  for (size_t i = 0; i < count; ++i) {
    uint8_t r = static_cast<uint8_t>(first + i);
    writes_.push_back({now_, r, data[i], request, setup.wIndex, setup.wLength, setup.wValue});
    WriteRegister(r, data[i]);
    AdvanceLocked();  // a done bit due at once is visible to the next register
  }
  return {Handshake::Ack, count};
}

// ---------------------------------------------------------------------------
// Controller registers

void Board::WriteRegister(uint8_t r, uint8_t value) {
  const uint64_t now = now_;
  switch (r) {
    case reg::kRxCtl1:
      if (value & reg::kMacReset) {
        mac_reset_until_ = After(now, config_.timing.mac_reset_ns);
        FlushFifo();
      }
      // The reset bit reads as set until the reset is over.
      regs_[r] = value | (mac_reset_until_ != kNever ? reg::kMacReset : 0);
      return;
    case reg::kEepromControl:
      if (value & (reg::kEepromRead | reg::kEepromWrite)) {
        regs_[r] = value & static_cast<uint8_t>(~reg::kEepromDone);
        eeprom_command_ = value & (reg::kEepromRead | reg::kEepromWrite);
        eeprom_done_at_ = After(now, config_.timing.eeprom_ns);
        ++counters_.eeprom_commands;
      } else {
        regs_[r] =
            (value & static_cast<uint8_t>(~reg::kEepromDone)) | (regs_[r] & reg::kEepromDone);
      }
      return;
    case reg::kMiiControl:
      if (value & (reg::kMiiRead | reg::kMiiWrite)) {
        regs_[r] = value & static_cast<uint8_t>(~reg::kMiiDone);
        mii_op_.write = (value & reg::kMiiRead) == 0;
        mii_op_.address = regs_[reg::kMiiAddress] & 0x1F;
        mii_op_.reg = value & reg::kMiiRegisterMask;
        mii_op_.value =
            static_cast<uint16_t>(regs_[reg::kMiiDataLow] | regs_[reg::kMiiDataHigh] << 8);
        mii_done_at_ = After(now, config_.timing.mii_ns);
        ++counters_.mii_commands;
      } else {
        regs_[r] = (value & static_cast<uint8_t>(~reg::kMiiDone)) | (regs_[r] & reg::kMiiDone);
      }
      return;
    case reg::kGpioPhyControl:
      regs_[r] = value;
      ApplyPhyPins();
      return;
    default:
      regs_[r] = value;
      return;
  }
}

void Board::FinishEepromOp() {
  const size_t index = regs_[reg::kEepromIndex] & 0x0F;
  if (eeprom_command_ & reg::kEepromRead) {
    regs_[reg::kEepromDataLow] = static_cast<uint8_t>(eeprom_[index]);
    regs_[reg::kEepromDataHigh] = static_cast<uint8_t>(eeprom_[index] >> 8);
  } else {
    eeprom_[index] =
        static_cast<uint16_t>(regs_[reg::kEepromDataLow] | regs_[reg::kEepromDataHigh] << 8);
  }
  regs_[reg::kEepromControl] =
      (regs_[reg::kEepromControl] & static_cast<uint8_t>(~(reg::kEepromRead | reg::kEepromWrite))) |
      (config_.timing.eeprom_done_bit_stuck || (config_.timing.eeprom_stuck_words >> index & 1)
           ? 0
           : reg::kEepromDone);
}

void Board::FinishMiiOp(uint64_t t) {
  Phy* phy = FindPhy(mii_op_.address);
  bool answers = phy != nullptr && phy->answers();
  if (mii_op_.write) {
    if (answers) phy->Write(mii_op_.reg, mii_op_.value, t);
  } else {
    // Nobody driving the management data line reads as all ones.
    uint16_t value = answers ? phy->Read(mii_op_.reg) : 0xFFFF;
    regs_[reg::kMiiDataLow] = static_cast<uint8_t>(value);
    regs_[reg::kMiiDataHigh] = static_cast<uint8_t>(value >> 8);
  }
  regs_[reg::kMiiControl] |= reg::kMiiDone;
}

// Register 0x7E drives the PHYs' reset line (pin 0) and the Ethernet PHYs'
// power-down pin (pin 1); a pin whose output is not enabled floats to its pull.
void Board::ApplyPhyPins() {
  const uint8_t v = regs_[reg::kGpioPhyControl];
  const bool reset = (v & reg::kPhyResetEnable) && !(v & reg::kPhyResetValue);
  const bool power_down = (v & reg::kEthPowerDownEnable) && (v & reg::kEthPowerDownValue);
  for (const auto& phy : phys_) {
    phy->SetHardwareReset(reset, now_);
    if (phy->kind() == PhyKind::Ethernet) phy->SetPinPowerDown(power_down, now_);
  }
}

// ---------------------------------------------------------------------------
// Bulk endpoints and the MAC

bool Board::EndpointKnown(uint8_t endpoint_address) const {
  return endpoint_address != 0 &&
         (endpoint_address == bulk_in_ep_ || endpoint_address == bulk_out_ep_ ||
          endpoint_address == interrupt_ep_);
}

bool Board::BulkAllowed(uint8_t endpoint_address) const {
  if (config_.require_configuration && configuration_ == 0) return false;
  return halted_.count(endpoint_address) == 0;
}

uint16_t Board::max_packet(uint8_t endpoint_address) const {
  for (const EndpointConfig& ep : config_.descriptors.endpoints) {
    if (ep.address == endpoint_address) return EndpointMaxPacket(ep, config_.speed);
  }
  return 0;
}

Handshake Board::bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) {
  Session session(this);
  return BulkOutLocked(endpoint, data, len);
}

// The packets of a transfer come in at one time of the clock: one session
// (one lock, the model brought up to the clock once) serves them all.
BulkPackets Board::bulk_out_packets(uint8_t endpoint, const uint8_t* data, size_t len, size_t mps,
                                    unsigned max_packets) {
  Session session(this);
  return OutPackets(data, len, mps, max_packets,
                    [&](const uint8_t* p, size_t n) { return BulkOutLocked(endpoint, p, n); });
}

BulkPackets Board::bulk_in_packets(uint8_t endpoint, uint8_t* buf, size_t room, size_t mps,
                                   unsigned max_packets) {
  Session session(this);
  return InPackets(buf, room, mps, max_packets, [&](uint8_t* p, size_t m, size_t& n) {
    return BulkInLocked(endpoint, p, m, n);
  });
}

Handshake Board::BulkOutLocked(uint8_t endpoint, const uint8_t* data, size_t len) {
  if (bulk_out_ep_ == 0 || (endpoint & 0x0F) != bulk_out_ep_) return Handshake::Stall;
  if (!BulkAllowed(bulk_out_ep_)) return Handshake::Stall;
  const size_t mps = max_packet(bulk_out_ep_);
  if (len > mps || (len > 0 && data == nullptr)) {
    // A packet longer than the endpoint takes is a protocol error: halt.
    halted_.insert(bulk_out_ep_);
    out_transfer_.clear();
    return Handshake::Stall;
  }
  // A new transfer waits while the MAC still holds a frame for the wire.
  if (now_ < tx_last_start_ && out_transfer_.empty() && !out_overrun_) return Handshake::Nak;
  ++counters_.bulk_out_packets;
  counters_.endpoint_bytes[bulk_out_ep_] += len;
  if (!out_overrun_) {
    if (out_transfer_.capacity() < kMaxOutTransfer + mps)
      out_transfer_.reserve(kMaxOutTransfer + mps);
    out_transfer_.insert(out_transfer_.end(), data, data + len);
  }
  if (len < mps) {
    EndTransfer();  // a short or zero-length packet ends the transfer
  } else if (out_transfer_.size() > kMaxOutTransfer) {
    // No end in sight: the MAC's buffer is full; the rest of this transfer
    // is thrown away up to its end.
    ++counters_.tx_oversize_transfers;
    out_transfer_.clear();
    out_overrun_ = true;
  }
  return Handshake::Ack;
}

// One bulk-out transfer: a 2-byte little-endian frame length, the frame, and
// padding up to 60 bytes when the frame is shorter. Anything after frame and
// padding (the next frame, when a zero-length packet was missing) is lost.
void Board::EndTransfer() {
  // The transfer buffer keeps its room for the next transfer; the frame
  // taken from it gets a buffer of its own size.
  std::vector<uint8_t>& t = out_transfer_;
  struct Clear {
    std::vector<uint8_t>& t;
    ~Clear() { t.clear(); }
  } clear{t};
  if (out_overrun_) {
    out_overrun_ = false;
    return;
  }
  if (t.empty()) {
    ++counters_.tx_zero_length_transfers;
    return;
  }
  ++counters_.tx_transfers;
  if (t.size() < 2) {
    ++counters_.tx_bad_length;
    return;
  }
  size_t n = static_cast<size_t>(t[0] | t[1] << 8);
  if (n == 0 || n > kMaxFrame) {
    ++counters_.tx_bad_length;
    return;
  }
  const size_t present = t.size() - 2;
  if (n > present) {
    ++counters_.tx_short_transfers;  // the MAC sends what it has
    n = present;
  } else if (present > n && !(t.size() == kPaddedTransfer && n + 2 < kPaddedTransfer)) {
    ++counters_.tx_trailing_discarded;
  }
  TakeForWire(std::vector<uint8_t>(t.begin() + 2, t.begin() + 2 + static_cast<ptrdiff_t>(n)));
}

void Board::TakeForWire(std::vector<uint8_t> frame) {
  Transmit(std::move(frame), std::max(now_, tx_wire_free_at_));
}

void Board::Transmit(std::vector<uint8_t> frame, uint64_t t) {
  if (mac_reset_until_ != kNever || !(regs_[reg::kRxCtl0] & reg::kTxEnable)) {
    ++counters_.tx_dropped_disabled;
    Fate(FrameFate::TxDisabled, frame, 0);
    return;
  }
  bool sent = false;
  int mbps = 0;  // the slowest wire it goes out on
  const size_t size = frame.size();
  size_t carriers = 0;
  for (const auto& phy : phys_)
    carriers += phy->CarriesTraffic() ? 1 : 0;
  for (const auto& phy : phys_) {
    if (!phy->CarriesTraffic()) continue;
    sent = true;
    const int rate = phy->speed_mbps();
    if (mbps == 0 || (rate != 0 && rate < mbps)) mbps = rate;
    const LinkPartnerConfig& partner = phy->partner();
    if (partner.echo && frame.size() >= 12) {
      ScriptItem reply{ScriptItem::Kind::Frame, phy->address(), false, 0, frame};
      std::copy(frame.begin() + 6, frame.begin() + 12, reply.frame.begin());
      std::copy(partner.mac.begin(), partner.mac.end(), reply.frame.begin() + 6);
      // The partner's MAC pads what it sends to the Ethernet minimum.
      if (reply.frame.size() < kMinFrame) reply.frame.resize(kMinFrame, 0);
      Schedule(After(t, partner.echo_delay_ns), std::move(reply));
    }
    // The last cable carrying it takes the frame itself, the others a copy.
    if (--carriers == 0) {
      RecordWire({t, phy->address(), WireDirection::ToPartner, std::move(frame)});
    } else {
      RecordWire({t, phy->address(), WireDirection::ToPartner, frame});
    }
  }
  if (!sent) {
    ++counters_.tx_dropped_no_link;
    Fate(FrameFate::TxNoLink, frame, 0);
    return;
  }
  ++counters_.wire_tx_frames;
  counters_.wire_tx_bytes += size;
  if (config_.wire_at_link_rate) {
    tx_last_start_ = t;
    tx_wire_free_at_ = t + WireTimeNs(size, mbps);
  }
}

void Board::RecordWire(WireFrame frame) {
  if (!tap_) {
    if (config_.keep_wire_log) wire_.push_back(std::move(frame));
    return;
  }
  if (config_.keep_wire_log) wire_.push_back(frame);
  tap_pending_.push_back(std::move(frame));
}

void Board::PartnerSends(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t) {
  RxWire& rx = rx_wire_[mii_address];
  if (rx.waiting.empty() && t >= rx.free_at) {
    StartFromPartner(mii_address, frame, t);
  } else if (rx.waiting.size() < config_.partner_queue_frames) {
    rx.waiting.push_back(std::move(frame));
  } else {
    ++counters_.rx_partner_dropped;
    Fate(FrameFate::RxPartnerBusy, std::move(frame), 0);
  }
}

bool Board::partner_takes_frame(uint8_t mii_address) {
  Session session(this);
  return PartnerTakesLocked(mii_address);
}

void Board::partner_drops(size_t frames) {
  Session session(this);
  counters_.rx_partner_dropped += frames;
}

bool Board::PartnerTakesLocked(uint8_t mii_address) const {
  auto it = rx_wire_.find(mii_address);
  if (it == rx_wire_.end()) return true;
  const RxWire& rx = it->second;
  return (rx.waiting.empty() && now_ >= rx.free_at) ||
         rx.waiting.size() < config_.partner_queue_frames;
}

Board::PartnerOffer Board::offer_from_partner(const std::function<uint8_t()>& fallback,
                                              const std::function<std::vector<uint8_t>()>& build) {
  Session session(this);
  PartnerOffer offer{0, false};
  const auto carrying = std::find_if(phys_.begin(), phys_.end(),
                                     [](const auto& phy) { return phy->CarriesTraffic(); });
  offer.mii_address = carrying != phys_.end() ? (*carrying)->address() : fallback();
  if (!PartnerTakesLocked(offer.mii_address)) {
    ++counters_.rx_partner_dropped;
    return offer;
  }
  // As send_from_partner: due now, so it goes out at once (or waits its turn
  // for the cable), and the change is told.
  session.Changes();
  PartnerSends(offer.mii_address, build(), now_);
  AdvanceLocked();
  offer.taken = true;
  return offer;
}

void Board::StartFromPartner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t) {
  if (config_.wire_at_link_rate) {
    Phy* phy = FindPhy(mii_address);
    rx_wire_[mii_address].free_at = t + WireTimeNs(frame.size(), phy ? phy->speed_mbps() : 0);
  }
  FrameFromPartner(mii_address, std::move(frame), t);
}

void Board::FrameFromPartner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t) {
  ReceiveFromWire(mii_address, frame);
  // The frame itself goes to the wire's record; the FIFO took a copy.
  if (tap_ || config_.keep_wire_log) {
    RecordWire({t, mii_address, WireDirection::FromPartner, std::move(frame)});
  }
}

void Board::ReceiveFromWire(uint8_t mii_address, const std::vector<uint8_t>& frame) {
  ++counters_.wire_rx_frames;
  counters_.wire_rx_bytes += frame.size();
  Phy* phy = FindPhy(mii_address);
  if (phy == nullptr || !phy->CarriesTraffic()) {
    ++counters_.rx_lost_no_link;
    Fate(FrameFate::RxNoLink, frame, 0);
    return;
  }
  for (const auto& other : phys_) {
    if (other.get() != phy && other->CarriesTraffic()) {
      ++counters_.rx_mii_contention;  // two PHYs drive the receive data lines
      Fate(FrameFate::RxContention, frame, 0);
      return;
    }
  }
  ReceiveIntoFifo(frame);
}

bool Board::AddressFilterPasses(const uint8_t* dst) const {
  if (regs_[reg::kRxCtl2] & reg::kPromiscuous) return true;
  if (std::memcmp(dst, regs_.data() + reg::kStationAddress, 6) == 0) return true;
  if ((dst[0] & 0x01) == 0) return false;
  if (std::equal(dst, dst + 6, kBroadcast.begin())) {
    return (regs_[reg::kRxCtl2] & reg::kAcceptBroadcast) != 0;
  }
  if (regs_[reg::kRxCtl0] & reg::kAllMulticast) return true;
  MacAddress group;
  std::copy(dst, dst + 6, group.begin());
  unsigned index = MulticastHashIndex(group);
  return (regs_[reg::kMulticastHash + index / 8] >> (index % 8)) & 1;
}

// Filters a frame from the wire and queues it for the bulk-in pipe as
// frame, 4 CRC bytes and the 4-byte status trailer.
void Board::ReceiveIntoFifo(const std::vector<uint8_t>& frame) {
  if (mac_reset_until_ != kNever || !(regs_[reg::kRxCtl0] & reg::kRxEnable)) {
    ++counters_.rx_dropped_disabled;
    Fate(FrameFate::RxDisabled, frame, 0);
    return;
  }
  if (frame.size() < 6 || !AddressFilterPasses(frame.data())) {
    ++counters_.rx_filtered;
    Fate(FrameFate::RxFiltered, frame, 0);
    return;
  }
  if (frame.size() > kMaxReceivedFrame) {
    ++counters_.rx_too_long;
    Fate(FrameFate::RxTooLong, frame, 0);
    return;
  }
  const size_t entry_size = frame.size() + 8;
  if (fifo_bytes_ + entry_size > config_.rx_fifo_bytes) {
    ++counters_.rx_fifo_overflows;
    Fate(FrameFate::RxFifoOverflow, frame, 0);
    return;
  }

  uint8_t status = 0;
  if (std::equal(frame.begin(), frame.begin() + 6, kBroadcast.begin())) {
    status |= rxstat::kBroadcast;
  } else if (frame[0] & 0x01) {
    status |= rxstat::kMulticast;
  } else if (std::memcmp(frame.data(), regs_.data() + reg::kStationAddress, 6) == 0) {
    status |= rxstat::kAddressMatch;
  }
  if (frame.size() < kMinFrame) status |= rxstat::kRunt;
  if (frame.size() > kMaxFrame) status |= rxstat::kTooLong;
  uint32_t crc = EthernetCrc32(frame.data(), frame.size());
  if (inject_crc_frames_ > 0) {
    --inject_crc_frames_;
    crc = ~crc;
    status |= rxstat::kCrcError;
  }
  if (inject_status_frames_ > 0) {
    --inject_status_frames_;
    status |= inject_status_bits_;
  }

  const uint16_t length = static_cast<uint16_t>((frame.size() + 4) & 0x0FFF);
  std::vector<uint8_t> entry;
  entry.reserve(entry_size);
  entry.insert(entry.end(), frame.begin(), frame.end());
  for (int i = 0; i < 4; ++i)
    entry.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  entry.push_back(static_cast<uint8_t>(length));
  entry.push_back(static_cast<uint8_t>(length >> 8));
  entry.push_back(status);
  entry.push_back(0);
  fifo_bytes_ += entry.size();
  fifo_.push_back(std::move(entry));
  raw_entries_.push_back(false);
  ++counters_.rx_fifo_frames;
}

void Board::Fate(FrameFate fate, const std::vector<uint8_t>& bytes, size_t trailer) {
  if (!fate_tap_) return;
  size_t n = bytes.size() > trailer ? bytes.size() - trailer : 0;
  fate_pending_.push_back(
      {now_, fate, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n))});
}

void Board::Fate(FrameFate fate, std::vector<uint8_t>&& bytes, size_t trailer) {
  if (!fate_tap_) return;
  bytes.resize(bytes.size() > trailer ? bytes.size() - trailer : 0);
  fate_pending_.push_back({now_, fate, std::move(bytes)});
}

void Board::ReadOutInFrame() {
  std::vector<uint8_t> frame;
  frame.swap(in_frame_);
  if (!in_frame_raw_) {
    fifo_bytes_ -= frame.size();
    Fate(FrameFate::RxReadOut, std::move(frame), 8);
  }
  FinishInFrame();  // with nothing left to take off the FIFO's bytes
}

void Board::FlushFifo() {
  for (size_t i = 0; i < fifo_.size(); ++i) {
    if (raw_entries_[i]) continue;  // injected transfers took no room and are not frames
    fifo_bytes_ -= fifo_[i].size();
    ++counters_.rx_flushed;
    Fate(FrameFate::RxFlushed, fifo_[i], 8);
  }
  fifo_.clear();
  raw_entries_.clear();
}

void Board::FinishInFrame() {
  if (!in_frame_raw_) fifo_bytes_ -= in_frame_.size();
  in_frame_.clear();
  in_frame_raw_ = false;
  in_pos_ = 0;
  in_zero_length_due_ = false;
}

Handshake Board::bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet_size, size_t& len) {
  Session session(this);
  return BulkInLocked(endpoint, buf, max_packet_size, len);
}

Handshake Board::BulkInLocked(uint8_t endpoint, uint8_t* buf, size_t max_packet_size, size_t& len) {
  len = 0;
  const uint8_t number = endpoint & 0x0F;
  if (interrupt_ep_ != 0 && number == (interrupt_ep_ & 0x0F)) {
    // The interrupt endpoint has nothing to report.
    return BulkAllowed(interrupt_ep_) ? Handshake::Nak : Handshake::Stall;
  }
  if (bulk_in_ep_ == 0 || number != (bulk_in_ep_ & 0x0F)) return Handshake::Stall;
  if (!BulkAllowed(bulk_in_ep_)) return Handshake::Stall;
  const size_t mps = std::min<size_t>(max_packet_size, max_packet(bulk_in_ep_));
  if (mps == 0 || buf == nullptr) return Handshake::Stall;

  if (in_zero_length_due_) {
    // The frame filled whole packets: a zero-length packet ends its transfer.
    ReadOutInFrame();
    ++counters_.bulk_in_packets;
    return Handshake::Ack;
  }
  if (in_frame_.empty()) {
    if (fifo_.empty()) return Handshake::Nak;
    in_frame_ = std::move(fifo_.front());
    in_frame_raw_ = raw_entries_.front();
    fifo_.pop_front();
    raw_entries_.pop_front();
    in_pos_ = 0;
  }
  const size_t chunk = std::min(mps, in_frame_.size() - in_pos_);
  if (chunk != 0) std::memcpy(buf, in_frame_.data() + in_pos_, chunk);
  in_pos_ += chunk;
  len = chunk;
  ++counters_.bulk_in_packets;
  counters_.endpoint_bytes[bulk_in_ep_] += chunk;
  if (in_pos_ == in_frame_.size()) {
    if (chunk == mps) {
      in_zero_length_due_ = true;
    } else {
      ReadOutInFrame();
    }
  }
  return Handshake::Ack;
}

void Board::reset_endpoint(uint8_t endpoint_address) {
  Session session(this);
  uint8_t ep = endpoint_address;
  if (!EndpointKnown(ep) && EndpointKnown(static_cast<uint8_t>(ep | 0x80))) ep |= 0x80;
  halted_.erase(ep);
  if (ep == bulk_out_ep_) {
    out_transfer_.clear();
    out_overrun_ = false;
  }
  if (ep == bulk_in_ep_ && (!in_frame_.empty() || in_zero_length_due_)) {
    ++counters_.rx_stream_discarded;
    if (!in_frame_raw_) Fate(FrameFate::RxStreamDiscarded, in_frame_, 8);
    FinishInFrame();
  }
}

// ---------------------------------------------------------------------------
// Link partners

void Board::Schedule(uint64_t at, ScriptItem item) {
  script_.emplace(std::make_pair(std::max(at, now_), ++script_seq_), std::move(item));
}

void Board::RunScriptItem(ScriptItem& item, uint64_t t) {
  Phy* phy = FindPhy(item.mii_address);
  switch (item.kind) {
    case ScriptItem::Kind::Plug:
      if (phy) phy->SetPlugged(item.flag, t);
      break;
    case ScriptItem::Kind::Abilities:
      if (phy) phy->SetPartnerAbilities(item.abilities, item.flag, t);
      break;
    case ScriptItem::Kind::HomeNetwork:
      if (phy) phy->SetHomeNetwork(item.flag, t);
      break;
    case ScriptItem::Kind::Frame:
      PartnerSends(item.mii_address, std::move(item.frame), t);
      break;
  }
}

void Board::plug(uint8_t mii_address, bool plugged, uint64_t at_ns) {
  Session session(this, Session::kChanges);
  Schedule(at_ns, {ScriptItem::Kind::Plug, mii_address, plugged, 0, {}});
  AdvanceLocked();
}

void Board::set_partner_abilities(uint8_t mii_address, uint16_t abilities, bool autoneg,
                                  uint64_t at_ns) {
  Session session(this, Session::kChanges);
  Schedule(at_ns, {ScriptItem::Kind::Abilities, mii_address, autoneg, abilities, {}});
  AdvanceLocked();
}

void Board::set_home_network(uint8_t mii_address, bool present, uint64_t at_ns) {
  Session session(this, Session::kChanges);
  Schedule(at_ns, {ScriptItem::Kind::HomeNetwork, mii_address, present, 0, {}});
  AdvanceLocked();
}

void Board::set_echo(uint8_t mii_address, bool on, uint64_t delay_ns) {
  Session session(this, Session::kChanges);
  if (Phy* phy = FindPhy(mii_address)) phy->SetEcho(on, delay_ns);
}

void Board::send_from_partner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t at_ns) {
  Session session(this, Session::kChanges);
  if (at_ns <= now_) {
    // Due now: everything due before it has run (the session brought the
    // model up to the clock), so it goes out at once, as the script would
    // have sent it, without a stay in the script.
    PartnerSends(mii_address, std::move(frame), now_);
  } else {
    Schedule(at_ns, {ScriptItem::Kind::Frame, mii_address, false, 0, std::move(frame)});
  }
  AdvanceLocked();
}

size_t Board::partner_frames_waiting(uint8_t mii_address) {
  Session session(this);
  auto it = rx_wire_.find(mii_address);
  return it == rx_wire_.end() ? 0 : it->second.waiting.size();
}

void Board::set_wire_tap(std::function<void(const WireFrame&)> tap) {
  Session session(this);
  tap_ =
      tap ? std::make_shared<const std::function<void(const WireFrame&)>>(std::move(tap)) : nullptr;
}

std::vector<WireFrame> Board::wire_frames() {
  Session session(this);
  return wire_;
}

std::vector<WireFrame> Board::frames_sent_to_partner() {
  Session session(this);
  std::vector<WireFrame> out;
  for (const WireFrame& f : wire_) {
    if (f.direction == WireDirection::ToPartner) out.push_back(f);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Observation and fault injection

Phy* Board::FindPhy(uint8_t mii_address) {
  for (const auto& phy : phys_) {
    if (phy->address() == mii_address) return phy.get();
  }
  return nullptr;
}

uint8_t Board::first_phy_address() const {
  return config_.phys.empty() ? 0 : config_.phys.front().mii_address;
}

uint8_t Board::configuration() {
  Session session(this);
  return configuration_;
}

bool Board::remote_wakeup_enabled() {
  Session session(this);
  return remote_wakeup_;
}

bool Board::endpoint_halted(uint8_t endpoint_address) {
  Session session(this);
  return halted_.count(endpoint_address) != 0;
}

void Board::halt_endpoint(uint8_t endpoint_address) {
  Session session(this, Session::kChanges);
  if (EndpointKnown(endpoint_address)) halted_.insert(endpoint_address);
}

uint8_t Board::peek_register(uint8_t r) {
  Session session(this);
  return regs_[r];
}

std::vector<uint8_t> Board::peek_registers(uint8_t first, size_t count) {
  Session session(this);
  count = std::min(count, regs_.size() - first);
  return std::vector<uint8_t>(regs_.begin() + first, regs_.begin() + first + count);
}

std::vector<RegisterWrite> Board::register_writes() {
  Session session(this);
  return writes_;
}

std::vector<uint8_t> Board::values_written_to(uint8_t r) {
  Session session(this);
  std::vector<uint8_t> out;
  for (const RegisterWrite& w : writes_) {
    if (w.reg == r) out.push_back(w.value);
  }
  return out;
}

std::vector<RegisterRead> Board::register_reads() {
  Session session(this);
  return reads_;
}

std::vector<ControlRecord> Board::control_log() {
  Session session(this);
  return control_log_;
}

void Board::clear_logs() {
  Session session(this);
  writes_.clear();
  reads_.clear();
  control_log_.clear();
  wire_.clear();
}

std::array<uint16_t, 16> Board::eeprom() {
  Session session(this);
  return eeprom_;
}

uint16_t Board::peek_phy(uint8_t mii_address, uint8_t r) {
  Session session(this);
  Phy* phy = FindPhy(mii_address);
  return phy != nullptr && phy->answers() ? phy->Peek(r) : 0xFFFF;
}

uint16_t Board::peek_phy_page(uint8_t mii_address, uint16_t page, uint8_t r) {
  Session session(this);
  Phy* phy = FindPhy(mii_address);
  return phy != nullptr && phy->answers() ? phy->PeekPage(page, r) : 0xFFFF;
}

std::optional<uint8_t> Board::phy_carrying_traffic() {
  Session session(this);
  for (const auto& phy : phys_) {
    if (phy->CarriesTraffic()) return phy->address();
  }
  return std::nullopt;
}

PhyState Board::phy_state(uint8_t mii_address) {
  Session session(this);
  PhyState s;
  Phy* phy = FindPhy(mii_address);
  if (phy == nullptr) return s;
  s.present = true;
  s.link_up = phy->link_up();
  s.an_complete = phy->an_complete();
  s.isolated = phy->isolated();
  s.powered_down = phy->powered_down();
  s.in_reset = phy->in_reset();
  s.carries_traffic = phy->CarriesTraffic();
  s.speed_mbps = phy->speed_mbps();
  s.full_duplex = phy->full_duplex();
  s.duplex_mismatch = phy->duplex_mismatch();
  s.writes_ignored_in_reset = phy->writes_ignored_in_reset();
  return s;
}

void Board::inject_rx_status(uint8_t bits, unsigned frames) {
  Session session(this, Session::kChanges);
  inject_status_bits_ = bits;
  inject_status_frames_ = frames;
}

void Board::inject_crc_errors(unsigned frames) {
  Session session(this, Session::kChanges);
  inject_crc_frames_ = frames;
}

void Board::set_vendor_stall_rule(std::function<bool(const SetupPacket&)> rule) {
  Session session(this, Session::kChanges);
  vendor_stall_rule_ = std::move(rule);
}

void Board::inject_bulk_in_transfer(std::vector<uint8_t> bytes) {
  Session session(this, Session::kChanges);
  fifo_.push_back(std::move(bytes));
  raw_entries_.push_back(true);
}

void Board::set_fate_tap(std::function<void(const FrameFateRecord&)> tap) {
  Session session(this);
  fate_tap_ =
      tap ? std::make_shared<const std::function<void(const FrameFateRecord&)>>(std::move(tap))
          : nullptr;
}

void Board::usb_reset() {
  Session session(this, Session::kChanges);
  usb_address_ = 0;
  configuration_ = 0;
  remote_wakeup_ = false;
  halted_.clear();
  out_transfer_.clear();
  out_overrun_ = false;
  if (!in_frame_.empty() || in_zero_length_due_) {
    ++counters_.rx_stream_discarded;
    if (!in_frame_raw_) Fate(FrameFate::RxStreamDiscarded, in_frame_, 8);
    FinishInFrame();
  }
}

Counters Board::counters() {
  Session session(this);
  return counters_;
}

size_t Board::rx_fifo_frames() {
  Session session(this);
  return fifo_.size() + (in_frame_.empty() ? 0 : 1);
}

size_t Board::rx_fifo_bytes() {
  Session session(this);
  return fifo_bytes_;
}

}  // namespace hw
