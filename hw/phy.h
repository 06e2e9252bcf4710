// One PHY on the MII management bus: a clause-22 register set for its
// identifier, the reset and power states, and the link it makes with the far
// end of its cable. Time-dependent behaviour (reset completion, auto-
// negotiation, link establishment) is kept as due times that the board fires
// in order; the PHY itself never looks at a clock.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "hw/board_config.h"
#include "hw/registers.h"

namespace hw {

enum class PhyKind {
  Ethernet,  // 10/100 Mb/s with auto-negotiation
  Home,      // 1 Mb/s home network, links without auto-negotiation
};

PhyKind KindOfPhy(uint32_t id);

class Phy {
 public:
  Phy(const PhyConfig& config, const TimingConfig& timing, uint64_t now);

  uint8_t address() const { return address_; }
  uint32_t id() const { return id_; }
  PhyKind kind() const { return kind_; }

  // Management access as the MII bus carries it. A PHY held in hardware
  // reset does not answer: reads float to 0xFFFF, writes are lost.
  bool answers() const { return !hardware_reset_; }
  uint16_t Read(uint8_t reg);  // status reads clear the link latch
  void Write(uint8_t reg, uint16_t value, uint64_t now);
  uint16_t Peek(uint8_t reg) const;  // no side effects
  uint16_t PeekPage(uint16_t page, uint8_t reg) const;

  // Board pins.
  void SetHardwareReset(bool asserted, uint64_t now);
  void SetPinPowerDown(bool down, uint64_t now);

  // The far end of the cable.
  const LinkPartnerConfig& partner() const { return partner_; }
  void SetPlugged(bool plugged, uint64_t now);
  void SetPartnerAbilities(uint16_t abilities, bool autoneg, uint64_t now);
  void SetHomeNetwork(bool present, uint64_t now);
  void SetEcho(bool on, uint64_t delay_ns);

  // Due time of the next internal event, kNever when none; Fire runs every
  // event due at t.
  uint64_t NextEvent() const;
  void Fire(uint64_t t);

  bool link_up() const { return link_up_; }
  bool an_complete() const { return an_complete_; }
  bool isolated() const { return (bmcr_ & mii::kBmcrIsolate) != 0; }
  bool powered_down() const { return (bmcr_ & mii::kBmcrPowerDown) != 0 || pin_power_down_; }
  bool in_reset() const { return hardware_reset_ || reset_done_at_ != kNever; }
  // Connected to the MAC's data path and passing frames to and from the wire.
  bool CarriesTraffic() const;
  int speed_mbps() const;  // of the current link; 0 without link
  bool full_duplex() const { return link_up_ && full_duplex_; }
  // Forced to a duplex the far end does not run (it parallel-detected us).
  bool duplex_mismatch() const { return link_up_ && duplex_mismatch_; }
  uint32_t writes_ignored_in_reset() const { return writes_ignored_in_reset_; }

 private:
  void LoadDefaults();
  void StartSoftReset(uint64_t now);
  void FinishReset(uint64_t now);
  void DropLink();
  void Retrain(uint64_t now);
  bool Paged(uint8_t reg) const;

  uint8_t address_;
  uint32_t id_;
  PhyKind kind_;
  TimingConfig timing_;
  LinkPartnerConfig partner_;

  uint16_t bmcr_ = 0;
  uint16_t anar_ = 0;
  uint16_t anlpar_ = 0;
  std::array<uint16_t, 32> plain_{};                    // registers without behaviour of their own
  std::map<uint16_t, std::array<uint16_t, 32>> pages_;  // page-selected banks

  bool hardware_reset_ = false;
  bool pin_power_down_ = false;
  uint64_t reset_done_at_ = kNever;
  uint64_t link_at_ = kNever;  // link establishment in progress

  bool link_up_ = false;
  bool link_latch_ = false;  // link bit as the next status read reports it
  bool an_complete_ = false;
  bool speed100_ = false;
  bool full_duplex_ = false;
  bool duplex_mismatch_ = false;
  // Outcome of the establishment in progress, applied when it completes.
  uint16_t pending_anlpar_ = 0;
  bool pending_an_complete_ = false;
  bool pending_speed100_ = false;
  bool pending_full_ = false;
  bool pending_mismatch_ = false;
  uint32_t writes_ignored_in_reset_ = 0;
};

}  // namespace hw
