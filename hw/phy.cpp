#include "hw/phy.h"

#include <algorithm>

namespace hw {
namespace {

constexpr uint16_t kEthernetStatusAbilities = 0x7809;  // 100/10 full/half, AN able, ext regs
constexpr uint16_t kHomeStatusAbilities = 0x0041;      // preamble suppression, ext regs
constexpr uint16_t kEthernetControlDefault = 0x3100;   // 100 Mb/s, AN enabled, full duplex
constexpr uint16_t kHomeModeRegisterDefault = 0x0305;  // register 16 of the first home kind

uint64_t After(uint64_t now, uint64_t delay) {
  return delay == kNever ? kNever : now + delay;
}

// The preferred mode among technology bits: 100 full, 100 half, 10 full, 10 half.
uint16_t HighestAbility(uint16_t bits) {
  for (uint16_t bit :
       {mii::kAbility100Full, mii::kAbility100Half, mii::kAbility10Full, mii::kAbility10Half}) {
    if (bits & bit) return bit;
  }
  return 0;
}

bool Is100(uint16_t ability) {
  return ability == mii::kAbility100Full || ability == mii::kAbility100Half;
}
bool IsFull(uint16_t ability) {
  return ability == mii::kAbility100Full || ability == mii::kAbility10Full;
}

}  // namespace

PhyKind KindOfPhy(uint32_t id) {
  uint32_t masked = id & 0xFFFFFFF0u;
  return masked == phyid::kHomeA || masked == phyid::kHomeB ? PhyKind::Home : PhyKind::Ethernet;
}

Phy::Phy(const PhyConfig& config, const TimingConfig& timing, uint64_t now)
    : address_(config.mii_address),
      id_(config.id),
      kind_(KindOfPhy(config.id)),
      timing_(timing),
      partner_(config.partner) {
  LoadDefaults();
  Retrain(now);
}

void Phy::LoadDefaults() {
  bmcr_ = kind_ == PhyKind::Ethernet ? kEthernetControlDefault : 0;
  anar_ = kind_ == PhyKind::Ethernet ? mii::kAbilityMask | mii::kSelector8023 : 0;
  anlpar_ = 0;
  plain_.fill(0);
  pages_.clear();
  if ((id_ & 0xFFFFFFF0u) == phyid::kHomeA) plain_[16] = kHomeModeRegisterDefault;
}

// The second home kind banks registers 6..30 behind a page number in
// register 31; page 0 is the ordinary register set.
bool Phy::Paged(uint8_t reg) const {
  return (id_ & 0xFFFFFFF0u) == phyid::kHomeB && plain_[mii::kPageSelect] != 0 && reg >= 6 &&
         reg < mii::kPageSelect;
}

uint16_t Phy::Peek(uint8_t reg) const {
  reg &= 0x1F;
  switch (reg) {
    case mii::kBmcr:
      return bmcr_ | (reset_done_at_ != kNever ? mii::kBmcrReset : 0);
    case mii::kBmsr:
      return (kind_ == PhyKind::Ethernet ? kEthernetStatusAbilities : kHomeStatusAbilities) |
             (an_complete_ ? mii::kBmsrAnComplete : 0) | (link_latch_ ? mii::kBmsrLink : 0);
    case mii::kPhyId1:
      return static_cast<uint16_t>(id_ >> 16);
    case mii::kPhyId2:
      return static_cast<uint16_t>(id_);
    case mii::kAnar:
      return anar_;
    case mii::kAnlpar:
      return anlpar_;
    case mii::kAner:
      if (kind_ == PhyKind::Ethernet) return an_complete_ && partner_.autoneg ? 1 : 0;
      break;
    default:
      break;
  }
  if (Paged(reg)) {
    auto it = pages_.find(plain_[mii::kPageSelect]);
    return it == pages_.end() ? 0 : it->second[reg];
  }
  return plain_[reg];
}

uint16_t Phy::PeekPage(uint16_t page, uint8_t reg) const {
  reg &= 0x1F;
  if (page == 0) return plain_[reg];
  auto it = pages_.find(page);
  return it == pages_.end() ? 0 : it->second[reg];
}

uint16_t Phy::Read(uint8_t reg) {
  uint16_t value = Peek(reg);
  // The link bit latches low: a drop stays visible until this read, after
  // which it shows the link as it is.
  if ((reg & 0x1F) == mii::kBmsr) link_latch_ = link_up_;
  return value;
}

void Phy::Write(uint8_t reg, uint16_t value, uint64_t now) {
  reg &= 0x1F;
  if (in_reset()) {
    ++writes_ignored_in_reset_;
    return;
  }
  switch (reg) {
    case mii::kBmcr: {
      if (value & mii::kBmcrReset) {
        StartSoftReset(now);
        return;
      }
      uint16_t old = bmcr_;
      bmcr_ = value & static_cast<uint16_t>(~(mii::kBmcrReset | mii::kBmcrAnRestart));
      uint16_t link_bits = mii::kBmcrPowerDown;
      if (kind_ == PhyKind::Ethernet) {
        link_bits |= mii::kBmcrAnEnable | mii::kBmcrSpeed100 | mii::kBmcrFullDuplex;
      }
      bool restart = kind_ == PhyKind::Ethernet && (value & mii::kBmcrAnRestart) &&
                     (bmcr_ & mii::kBmcrAnEnable);
      if (((old ^ bmcr_) & link_bits) || restart) Retrain(now);
      return;
    }
    case mii::kBmsr:
    case mii::kPhyId1:
    case mii::kPhyId2:
    case mii::kAnlpar:
      return;  // read-only
    case mii::kAnar:
      anar_ = value;  // takes effect at the next negotiation
      return;
    case mii::kAner:
      if (kind_ == PhyKind::Ethernet) return;
      break;
    default:
      break;
  }
  if (Paged(reg)) {
    pages_[plain_[mii::kPageSelect]][reg] = value;
  } else {
    plain_[reg] = value;
  }
}

void Phy::StartSoftReset(uint64_t now) {
  LoadDefaults();
  DropLink();
  reset_done_at_ = After(now, timing_.phy_reset_ns);
  if (reset_done_at_ <= now) FinishReset(now);
}

void Phy::FinishReset(uint64_t now) {
  reset_done_at_ = kNever;
  Retrain(now);
}

void Phy::SetHardwareReset(bool asserted, uint64_t now) {
  if (asserted == hardware_reset_) return;
  hardware_reset_ = asserted;
  if (asserted) {
    LoadDefaults();
    DropLink();
    reset_done_at_ = kNever;
  } else {
    StartSoftReset(now);
  }
}

void Phy::SetPinPowerDown(bool down, uint64_t now) {
  if (down == pin_power_down_) return;
  pin_power_down_ = down;
  Retrain(now);
}

void Phy::SetPlugged(bool plugged, uint64_t now) {
  partner_.plugged = plugged;
  Retrain(now);
}

void Phy::SetPartnerAbilities(uint16_t abilities, bool autoneg, uint64_t now) {
  partner_.abilities = abilities;
  partner_.autoneg = autoneg;
  Retrain(now);
}

void Phy::SetHomeNetwork(bool present, uint64_t now) {
  partner_.home_network = present;
  Retrain(now);
}

void Phy::SetEcho(bool on, uint64_t delay_ns) {
  partner_.echo = on;
  partner_.echo_delay_ns = delay_ns;
}

void Phy::DropLink() {
  link_up_ = false;
  link_latch_ = false;
  an_complete_ = false;
  anlpar_ = 0;
  link_at_ = kNever;
}

// Starts establishing the link from scratch, as after a restart of auto-
// negotiation, a mode change or a change at the far end.
void Phy::Retrain(uint64_t now) {
  DropLink();
  pending_anlpar_ = 0;
  pending_an_complete_ = false;
  pending_speed100_ = false;
  pending_full_ = false;
  pending_mismatch_ = false;
  if (in_reset() || powered_down() || !partner_.plugged) return;

  if (kind_ == PhyKind::Home) {
    if (partner_.home_network) link_at_ = After(now, timing_.home_link_ns);
    return;
  }

  uint16_t far = partner_.abilities & mii::kAbilityMask;
  if (bmcr_ & mii::kBmcrAnEnable) {
    uint16_t mode;
    if (partner_.autoneg) {
      mode = HighestAbility(anar_ & far);
      if (mode == 0) return;  // nothing in common: no link
      pending_anlpar_ = far | mii::kSelector8023 | mii::kAck;
    } else {
      // Parallel detection: the far end's fixed speed, at half duplex.
      uint16_t fixed = HighestAbility(far);
      if (fixed == 0) return;
      mode = Is100(fixed) ? mii::kAbility100Half : mii::kAbility10Half;
      pending_anlpar_ = mode;
      pending_mismatch_ = IsFull(fixed);
    }
    pending_an_complete_ = true;
    pending_speed100_ = Is100(mode);
    pending_full_ = IsFull(mode);
    link_at_ = After(now, timing_.autoneg_ns);
    return;
  }

  bool speed100 = (bmcr_ & mii::kBmcrSpeed100) != 0;
  bool full = (bmcr_ & mii::kBmcrFullDuplex) != 0;
  bool far_full;
  if (partner_.autoneg) {
    // The far end parallel-detects our speed and runs half duplex.
    uint16_t wanted = speed100 ? (mii::kAbility100Full | mii::kAbility100Half)
                               : (mii::kAbility10Full | mii::kAbility10Half);
    if ((far & wanted) == 0) return;
    far_full = false;
  } else {
    uint16_t fixed = HighestAbility(far);
    if (fixed == 0 || Is100(fixed) != speed100) return;
    far_full = IsFull(fixed);
  }
  pending_speed100_ = speed100;
  pending_full_ = full;
  pending_mismatch_ = full != far_full;
  link_at_ = After(now, timing_.forced_link_ns);
}

uint64_t Phy::NextEvent() const {
  return std::min(reset_done_at_, link_at_);
}

void Phy::Fire(uint64_t t) {
  if (reset_done_at_ <= t) FinishReset(t);
  if (link_at_ <= t) {
    link_at_ = kNever;
    link_up_ = true;
    an_complete_ = pending_an_complete_;
    anlpar_ = pending_anlpar_;
    speed100_ = pending_speed100_;
    full_duplex_ = pending_full_;
    duplex_mismatch_ = pending_mismatch_;
  }
}

bool Phy::CarriesTraffic() const {
  return link_up_ && !isolated() && !powered_down() && !in_reset();
}

int Phy::speed_mbps() const {
  if (!link_up_) return 0;
  if (kind_ == PhyKind::Home) return 1;
  return speed100_ ? 100 : 10;
}

}  // namespace hw
