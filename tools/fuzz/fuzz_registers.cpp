// The register answers while the adapter runs. One adapter comes up honestly
// on one of four boards (the machine's variant: one Ethernet PHY, Ethernet
// and home-network PHYs, one home-network PHY, a home-network PHY beside an
// isolated one) and serves input after input. Each input moves the far end
// of the cables (pulled, put back, other abilities, negotiating or not, other
// home-network stations) and lets the link monitor poll a few times while,
// request by request, the controller's answers go through, are replaced, have
// bits flipped, or are stalled, and each request completes at once or at the
// next frame. That reaches every MII done bit, every PHY status bit the link
// chains read and every switching sequence.
//
// Checked after every input, once the device is honest again and the
// cables are back as the board came: within a few polls the adapter reports
// the link connected, and a frame sent then reaches the wire intact.
//
// Reception plays no part here: the bulk-in read hangs at the bus, so that
// seconds of link polling cost only the control requests they make.
//
// Input: poll count, cable script, partner change, [abilities (2 bytes)];
// then, per control request, a completion byte when it reaches the bus and,
// per vendor request, a mode byte with its data when the device answers.
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

using host::usb::RequestFault;

constexpr uint8_t kVendorRead = 0xF0;
constexpr uint8_t kVendorWrite = 0xF1;
constexpr uint64_t kRebuildEvery = 4096;
constexpr unsigned kVariants = 4;
constexpr host::Nanoseconds kPollPeriod = 3100 * host::kMillisecond;
// Honest polls the adapter may take to report the link again: a lost link
// is confirmed on a later poll, and a switch between PHYs waits out its
// own timers.
constexpr unsigned kRecoveryPolls = 8;

hw::BoardConfig MachineBoard(unsigned variant) {
  hw::BoardConfig config;
  switch (variant) {
    case 0:
      config = hw::boards::SingleEthernet();
      break;
    case 1:
      config = hw::boards::EthernetAndHome();
      break;
    case 2:
      config = hw::boards::SingleHome(hw::phyid::kHomeA);
      break;
    default:
      config = hw::boards::HomeWithIsolated();
      break;
  }
  // Negotiation within one of the driver's 30 ms checks keeps polls cheap.
  config.timing.autoneg_ns = 10 * hw::kMillisecond;
  return config;
}

// What the device answers to one vendor request, decided by the next input
// byte: the controller's own answer, bytes from the input in its place, one
// byte of it with bits flipped, or a stall.
void Tamper(FuzzInput& in, const hw::SetupPacket& setup, uint8_t* data, hw::ControlResult* result) {
  if (in.empty() || (setup.bmRequestType & 0x60) != 0x40) return;  // vendor requests only
  const uint8_t mode = in.u8();
  switch (mode & 0x03) {
    case 0:
      return;
    case 1:
      if (setup.bRequest == kVendorRead) {
        for (size_t i = 0; i < result->actual; i++)
          data[i] = in.u8();
      }
      return;
    case 2:
      if (setup.bRequest == kVendorRead && result->actual != 0) {
        data[(mode >> 2) % result->actual] ^= in.u8();
      }
      return;
    case 3:
      if (setup.bRequest == kVendorRead || setup.bRequest == kVendorWrite) {
        result->handshake = hw::Handshake::Stall;
        result->actual = 0;
      }
      return;
  }
}

class RegistersMachine {
 public:
  RegistersMachine(unsigned variant, uint64_t /*build*/)
      : config_(MachineBoard(variant)), board_(config_, host::kernel_clock()), device_(board_) {
    device_.after_control = [this](const hw::SetupPacket& setup, uint8_t* out,
                                   hw::ControlResult* result) {
      if (input_ != nullptr) Tamper(*input_, setup, out, result);
    };
    board_.set_wire_tap([this](const hw::WireFrame& frame) {
      if (frame.direction == hw::WireDirection::ToPartner) wire_out_.push_back(frame.bytes);
    });
    host::TestbedOptions options;
    options.kernel.seed = 1 + variant;
    options.initialize = false;
    bed_ = std::make_unique<host::Testbed>(device_, options);
    bed_->bus().set_request_rule([this](const host::usb::RequestInfo& info) {
      // The read hangs until halt aborts it: no (micro)frame is polled.
      if (info.bulk) return info.in ? RequestFault::Hang : RequestFault::None;
      // Control requests complete inside the dispatch unless the input asks
      // for the next frame; an honest device is a quick one.
      if (input_ != nullptr && !input_->empty() && (input_->u8() & 1)) return RequestFault::None;
      return RequestFault::AtOnce;
    });
    if (bed_->adapter().initialize() != NDIS_STATUS_SUCCESS) {
      Fail("an honest board did not come up");
    }
    bed_->protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);
    CheckStationAddress(bed_->protocol());
    if (!AwaitLink()) Fail("an honest board's link was never reported; " + State());
  }

  ~RegistersMachine() {
    bed_->bus().set_request_rule(nullptr);
    board_.set_wire_tap(nullptr);
    bed_.reset();
  }

  bool Run(FuzzInput& in) {
    bed_->protocol().clear_records();
    board_.clear_logs();
    wire_out_.clear();
    const unsigned polls = 1 + in.u8() % 4;
    const uint8_t cables = in.u8();
    const uint8_t partner = in.u8();
    const uint16_t abilities = (partner & 0x08) ? (in.u16() & 0x01E0) : 0x01E0;
    input_ = &in;
    const auto& phys = config_.phys;
    if (partner & 0x01) {
      const uint8_t address = phys[(partner >> 4) % phys.size()].mii_address;
      board_.set_partner_abilities(address, abilities, (partner & 0x02) == 0);
    }
    if (partner & 0x04) {
      const uint8_t address = phys[(partner >> 6) % phys.size()].mii_address;
      board_.set_home_network(address, (partner & 0x20) != 0);
    }
    for (unsigned i = 0; i < polls; i++) {
      if ((cables >> (2 * i)) & 1) {
        const uint8_t address = phys[((cables >> (2 * i + 1)) & 1) % phys.size()].mii_address;
        board_.plug(address, !board_.phy_state(address).link_up);
      }
      bed_->scheduler().run_for(kPollPeriod);
    }
    input_ = nullptr;

    // Honest from here: the cables and partners as the board came, and a
    // poll's time for the links to come back before the adapter is asked.
    for (const hw::PhyConfig& phy : phys) {
      if (board_.phy_state(phy.mii_address).link_up != phy.partner.plugged) {
        board_.plug(phy.mii_address, phy.partner.plugged);
      }
    }
    if (partner & 0x01) {
      for (const hw::PhyConfig& phy : phys)
        board_.set_partner_abilities(phy.mii_address, phy.partner.abilities, phy.partner.autoneg);
    }
    if (partner & 0x04) {
      for (const hw::PhyConfig& phy : phys)
        board_.set_home_network(phy.mii_address, phy.partner.home_network);
    }
    if (cables != 0 || (partner & 0x05) != 0) bed_->scheduler().run_for(kPollPeriod);
    // The adapter's view of the link lags the device's by up to a poll, and
    // what the answers made the PHYs do (a reset, a new negotiation) may
    // take the link down once more: a frame sent meanwhile is rightly lost.
    if (!Recovered()) {
      Fail(std::string(Connected() ? "a frame sent with the link reported up never reached the wire"
                                   : "the link was not reported connected") +
           " within " + std::to_string(kRecoveryPolls) + " honest polls; " + State());
    }
    if (Verbose()) {
      std::fprintf(stderr, "%u polls, %zu status indications, link connected again\n", polls,
                   bed_->protocol().statuses().size());
    }
    return true;
  }

 private:
  std::string State() {
    const auto* adapter = static_cast<const usbeth::Adapter*>(bed_->adapter_context());
    std::string text = "adapter state " + std::to_string(adapter->AdapterState) + ", link state " +
                       std::to_string(adapter->LinkState) + ", handled " +
                       std::to_string(adapter->HandledLinkState);
    const hw::Counters counters = board_.counters();
    text += ", frames dropped for no link " + std::to_string(counters.tx_dropped_no_link) +
            ", for the transmitter off " + std::to_string(counters.tx_dropped_disabled) +
            ", sent " + std::to_string(counters.wire_tx_frames) + ", PHYs:";
    for (const hw::PhyConfig& phy : config_.phys) {
      const hw::PhyState state = board_.phy_state(phy.mii_address);
      text += " " + std::to_string(phy.mii_address) + (state.link_up ? " up" : " down") +
              (state.carries_traffic ? " carrying" : "") + (state.isolated ? " isolated" : "") +
              (state.powered_down ? " powered down" : "");
    }
    return text;
  }

  bool Connected() {
    const auto status = bed_->protocol().query_ulong(OID_GEN_MEDIA_CONNECT_STATUS);
    return status && *status == NdisMediaStateConnected;
  }

  bool AwaitLink() {
    for (unsigned i = 0; i <= kRecoveryPolls; i++) {
      if (Connected()) return true;
      bed_->scheduler().run_for(kPollPeriod);
    }
    return Connected();
  }

  // Connected, and a frame sent reaches the wire intact.
  bool Recovered() {
    for (unsigned i = 0; i <= kRecoveryPolls; i++) {
      if (Connected() && ProbeOut()) return true;
      bed_->scheduler().run_for(kPollPeriod);
    }
    return false;
  }

  bool ProbeOut() {
    probe_serial_++;
    std::vector<uint8_t> frame(60, 0);
    std::fill(frame.begin(), frame.begin() + 6, 0xFF);
    frame[6] = 0x02;
    frame[12] = 0x88;
    frame[13] = 0xB5;
    for (size_t i = 14; i < frame.size(); i++)
      frame[i] = static_cast<uint8_t>(probe_serial_ * 5 + i);
    bed_->protocol().send(frame);
    return bed_->protocol().run_until(
        [&] { return std::find(wire_out_.begin(), wire_out_.end(), frame) != wire_out_.end(); },
        50 * host::kMillisecond);
  }

  hw::BoardConfig config_;
  hw::Board board_;
  HostileDevice device_;
  std::unique_ptr<host::Testbed> bed_;
  FuzzInput* input_ = nullptr;
  std::vector<std::vector<uint8_t>> wire_out_;
  uint64_t probe_serial_ = 0;
};

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_KEPT_MACHINE_TARGET("fuzz_registers", usbeth::fuzz::RegistersMachine,
                                usbeth::fuzz::kVariants, usbeth::fuzz::kRebuildEvery)
