// Media setup at each controller start: auto-negotiate or force the configured
// mode on the active PHY, resolve speed and duplex, probe the link, and apply
// the settings particular to the PHY's kind.
#include "controller/controller.h"
#include "phy/link_monitor.h"
#include "phy/phy.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr ULONG kMediaAutomatic = 0;
constexpr ULONG kMediaHomeNetwork = 5;

constexpr ULONG kPhyPolls = 100;
constexpr ULONG kPhyPollDelayUs = 30000;
constexpr ULONG kAutoNegSettleUs = 100000;

// Vendor registers written for particular PHY kinds.
constexpr UCHAR kEthernet1Config = 27;
constexpr USHORT kEthernet1ConfigValue = 0x0044;
constexpr UCHAR kEthernet2Config = 23;
constexpr USHORT kEthernet2ConfigValue = 0x0080;
constexpr UCHAR kHomeAModeRegister = 16;
constexpr USHORT kHomeAModeMask = 0x0F00;
constexpr UCHAR kHomeBConfig = 25;
constexpr USHORT kHomeBConfigStart = 0x7F05;
constexpr USHORT kHomeBConfigRun = 0x7F02;
constexpr UCHAR kHomeBPageSelect = 31;
constexpr UCHAR kHomeBRegister6 = 6;
constexpr UCHAR kHomeBRegister7 = 7;

// HomeLanMode: 16 leaves the home PHY's mode alone, 17..20 select one.
constexpr ULONG kHomeLanKeep = 16;

struct ForcedMode {
  USHORT control;
  USHORT advertisement;  // before the selector bit is added
  ULONG speed;
  ULONG duplex;
};

// Indexed by MediaType 1..5; entry 0 is the automatic setting.
constexpr ForcedMode kForcedModes[] = {
    {kControlRestartAutoNeg, kAdvertiseAllAbilities, 0, 0},
    {0x0000, 0x0020, kSpeed10, kDuplexHalf},
    {0x0100, 0x0040, kSpeed10, kDuplexFull},
    {0x2000, 0x0080, kSpeed100, kDuplexHalf},
    {0x2100, 0x0100, kSpeed100, kDuplexFull},
    {0x0000, 0x0020, kSpeedHome, kDuplexHalf},
};

bool HomeNetworkMedia(const Adapter* adapter) {
  return adapter->MediaType == kMediaHomeNetwork || adapter->HomePhyMode == kHomePhyInUse;
}

}  // namespace

// Mode nibble of the home PHY's register 16 (bits 8..11) for HomeLan 17..20;
// any other value leaves the bits clear.
USHORT HomeLanModeBits(ULONG home_lan_mode) {
  switch (home_lan_mode) {
    case 17:
      return 0x0A00;
    case 18:
      return 0x0900;
    case 19:
      return 0x0600;
    case 20:
      return 0x0500;
    default:
      return 0x0000;
  }
}

bool HasForcedMedia(const Adapter* adapter) {
  if (adapter->MediaType == kMediaAutomatic) return false;
  return adapter->MediaType <= kMediaHomeNetwork || adapter->HomePhyMode == kHomePhyInUse;
}

void LookupForcedMedia(Adapter* adapter, PUSHORT control, PUSHORT advertisement) {
  ULONG row = 0;
  if (HasForcedMedia(adapter)) {
    row = adapter->MediaType <= kMediaHomeNetwork ? adapter->MediaType : kMediaHomeNetwork;
  }
  *control = kForcedModes[row].control;
  *advertisement = kForcedModes[row].advertisement;
  if (row != 0) {
    adapter->LinkSpeed = kForcedModes[row].speed;
    adapter->LinkDuplex = kForcedModes[row].duplex;
  }
}

ULONG SetupMedia(Adapter* adapter) {
  adapter->LinkSpeed = 0;
  adapter->LinkDuplex = 0;
  if (adapter->PhySelection == 0) {
    // No PHY was chosen, so no link is known: the controller start that
    // follows must not indicate a connect; the link monitor reports the link
    // once it finds one.
    StoreShared(adapter->LinkState, kLinkDown);
    return kFailed;
  }

  // A MediaType with no forced mode (above 5 without the home PHY) gets
  // automatic media rather than an undefined control word.
  if (!HasForcedMedia(adapter)) {
    if (AutoNegotiate(adapter) == kFailed) return kFailed;
  } else {
    USHORT control = 0;
    USHORT advertisement = 0;
    LookupForcedMedia(adapter, &control, &advertisement);
    ForceMedia(adapter, control, advertisement);
  }

  ULONG link = ProbeLinkState(adapter, adapter->ActivePhyAddress);
  StoreShared(adapter->LinkState, link);
  adapter->HandledLinkState = link;
  ConfigurePhyKind(adapter);
  return kOk;
}

// Auto-negotiates advertising only the forced mode, then fixes the PHY to it.
void ForceMedia(Adapter* adapter, USHORT control, USHORT advertisement) {
  UCHAR phy = adapter->ActivePhyAddress;
  PhyWrite(adapter, phy, kMiiControl, kControlReset);
  PhyWrite(adapter, phy, kMiiAdvertisement, static_cast<USHORT>(advertisement | kSelector8023));
  PhyWrite(adapter, phy, kMiiControl, kControlRestartAutoNeg);

  USHORT status = 0;
  if (HomeNetworkMedia(adapter)) {
    PhyRead(adapter, phy, kMiiStatus, &status);
    SleepMicroseconds(kPhyPollDelayUs);
  } else {
    for (ULONG poll = 0; poll < kPhyPolls; ++poll) {
      PhyRead(adapter, phy, kMiiStatus, &status);
      if ((status & kStatusAutoNegComplete) != 0) break;
      SleepMicroseconds(kPhyPollDelayUs);
    }
  }
  PhyWrite(adapter, phy, kMiiControl, control);
}

ULONG AutoNegotiate(Adapter* adapter) {
  UCHAR phy = adapter->ActivePhyAddress;
  PhyWrite(adapter, phy, kMiiControl, kControlReset);
  USHORT control = 0;
  for (ULONG poll = 0; poll < kPhyPolls; ++poll) {
    SleepMicroseconds(kPhyPollDelayUs);
    PhyRead(adapter, phy, kMiiControl, &control);
    if ((control & kControlReset) == 0) break;
  }

  PhyWrite(adapter, phy, kMiiAdvertisement, kAdvertiseAll);
  // This home-network PHY takes its mode from register 0 without negotiating.
  PhyWrite(adapter, phy, kMiiControl,
           adapter->ActivePhyId == kPhyHomeB ? kControlSpeed100 : kControlRestartAutoNeg);
  if (adapter->HomePhyMode == kEthernetPhyInUse) WaitAutoNegComplete(adapter);

  USHORT partner = 0;
  PhyRead(adapter, phy, kMiiPartnerAbility, &partner);
  ResolveLinkMode(adapter, partner);
  return kOk;
}

ULONG WaitAutoNegComplete(Adapter* adapter) {
  SleepMicroseconds(kAutoNegSettleUs);
  USHORT status = 0;
  for (ULONG poll = 0; poll < kPhyPolls; ++poll) {
    PhyRead(adapter, adapter->ActivePhyAddress, kMiiStatus, &status);
    if ((status & kStatusAutoNegComplete) != 0) return kOk;
    SleepMicroseconds(kPhyPollDelayUs);
  }
  return kFailed;
}

// The partner's abilities alone decide; the home network is always 1 Mb/s
// half duplex.
void ResolveLinkMode(Adapter* adapter, USHORT partner_ability) {
  if (HomeNetworkMedia(adapter)) {
    adapter->LinkSpeed = kSpeedHome;
    adapter->LinkDuplex = kDuplexHalf;
  } else if ((partner_ability & kAbility100Full) != 0) {
    adapter->LinkSpeed = kSpeed100;
    adapter->LinkDuplex = kDuplexFull;
  } else if ((partner_ability & kAbility100Half) != 0) {
    adapter->LinkSpeed = kSpeed100;
    adapter->LinkDuplex = kDuplexHalf;
  } else {
    adapter->LinkSpeed = kSpeed10;
    adapter->LinkDuplex = (partner_ability & kAbility10Full) != 0 ? kDuplexFull : kDuplexHalf;
  }
}

void ProgramHomePhy(Adapter* adapter) {
  UCHAR phy = adapter->ActivePhyAddress;
  if (adapter->ActivePhyId == kPhyHomeA) {
    USHORT mode = 0;
    PhyRead(adapter, phy, kHomeAModeRegister, &mode);
    mode = static_cast<USHORT>((mode & ~kHomeAModeMask) | HomeLanModeBits(adapter->HomeLanMode));
    if (adapter->HomeLanMode != kHomeLanKeep) PhyWrite(adapter, phy, kHomeAModeRegister, mode);
  } else if (adapter->ActivePhyId == kPhyHomeB) {
    PhyWrite(adapter, phy, kMiiControl, kControlSpeed100);
    PhyWrite(adapter, phy, kHomeBConfig, kHomeBConfigRun);
    if (adapter->HomeLanMode == 18 || adapter->HomeLanMode == 20) {
      PhyWrite(adapter, phy, kHomeBPageSelect, 0x0001);
      PhyWrite(adapter, phy, kHomeBRegister7, 0x0008);
      PhyWrite(adapter, phy, kHomeBRegister6, adapter->HomeLanMode == 18 ? 0x0038 : 0x0028);
      PhyWrite(adapter, phy, kHomeBPageSelect, 0x0000);
    }
  }
}

void ConfigurePhyKind(Adapter* adapter) {
  adapter->KeepAliveEnabled = 0;
  UCHAR phy = adapter->ActivePhyAddress;
  switch (adapter->ActivePhyId) {
    case kPhyEthernet1: {
      PhyWrite(adapter, phy, kEthernet1Config, kEthernet1ConfigValue);
      USHORT status = 0;
      PhyRead(adapter, phy, kMiiStatus, &status);
      break;
    }
    case kPhyEthernet2:
      PhyWrite(adapter, phy, kEthernet2Config, kEthernet2ConfigValue);
      break;
    case kPhyEthernet4:
      FillEthernetLinkPattern(adapter);
      WriteRegisters(adapter, 4, kRegPhyKindBlock);
      break;
    case kPhyHomeA:
      FillHomeLinkPattern(adapter);
      WriteRegisters(adapter, 6, kRegPhyKindBlock);
      ProgramHomePhy(adapter);
      break;
    case kPhyHomeB:
      adapter->KeepAliveEnabled = 1;
      PhyWrite(adapter, phy, kHomeBConfig, kHomeBConfigStart);
      if (adapter->LinkState == kLinkUp) {
        adapter->RegWriteBuffer[0] = 0x04;
        WriteRegisters(adapter, 1, kRegGpioLink);
      }
      ProgramHomePhy(adapter);
      break;
    default:
      break;
  }
}

}  // namespace usbeth
