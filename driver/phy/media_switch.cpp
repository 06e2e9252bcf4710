// The chains the link monitor hands over to:
//
//   after the link came up    ReconfigureAfterLinkUp: chain A (restart auto-
//                             negotiation, resolve speed and duplex) or chain B
//                             (re-force the configured media), then chain M
//                             (ApplyLinkMode: controller speed and duplex bits,
//                             the idle PHY off the bus, PHY-kind writes);
//   after three down polls    SwitchAfterLinkLoss: chain E (recover the
//                             Ethernet PHY by forcing 100 Mb/s), chain T (move
//                             to the home PHY when more than two PHYs exist),
//                             chain H (move back from the home PHY).
//
// Every step stores its continuation and starts one asynchronous operation
// through the chain plumbing of the link monitor, or calls the next step
// directly; every chain ends in FinishLinkPoll. The steps run at
// DISPATCH_LEVEL or in completion routines and never wait.

#include "controller/controller.h"
#include "phy/link_monitor.h"
#include "phy/phy.h"

namespace usbeth {

namespace {

constexpr ULONG kAutoNegSettleMs = 2000;      // A1 -> A2
constexpr ULONG kAutoNegSecondLookMs = 5000;  // A3 -> A4
constexpr ULONG kForcedSettleMs = 2000;       // B2 -> B3
constexpr ULONG kForcedSecondLookMs = 2000;   // B4 -> B5
constexpr ULONG kEthernetRecoverMs = 1000;    // E3 -> E4
constexpr ULONG kHomeRestartMs = 2000;        // T1 -> T2
constexpr ULONG kEthernetGpioSettleMs = 300;  // H1 -> H2
constexpr ULONG kEthernetRestartMs = 2000;    // H2 -> H3

constexpr ULONG kHomeLanModeUntouched = 16;
constexpr USHORT kHomeLanModeMask = 0xF0FF;  // bits 8..11 of register 16

constexpr USHORT kVendor27Value = 0x0044;  // PHY 0x00406210
constexpr USHORT kVendor23Value = 0x0080;  // PHY 0x00437410

// First two bytes of RegReadBuffer, low byte first.
USHORT ReadWord(const Adapter* adapter) {
  return static_cast<USHORT>(adapter->RegReadBuffer[0] | (adapter->RegReadBuffer[1] << 8));
}

bool StatusHas(const Adapter* adapter, USHORT bit) {
  return (ReadWord(adapter) & bit) != 0;
}

USHORT RestartValue(const Adapter* adapter) {
  return adapter->ActivePhyId == kPhyHomeB ? kControlSpeed100 : kControlRestartAutoNeg;
}

void MarkLinkUp(Adapter* adapter) {
  StoreShared(adapter->LinkState, kLinkUp);
  adapter->HandledLinkState = kLinkUp;
  adapter->LinkChangePending = 1;
}

// ---- Chain A: restart auto-negotiation on the active PHY ----------------------

ULONG AutoNegFirstRead(Adapter* adapter);
ULONG AutoNegFirstLook(Adapter* adapter);
ULONG AutoNegSecondRead(Adapter* adapter);
ULONG AutoNegSecondLook(Adapter* adapter);
ULONG ReadPartnerAbility(Adapter* adapter);
ULONG ResolvePartnerAbility(Adapter* adapter);

ULONG RestartAutoNegotiation(Adapter* adapter) {  // A1
  ChainPhyWriteThenDelay(adapter, adapter->ActivePhyAddress, kMiiControl, RestartValue(adapter),
                         kAutoNegSettleMs, AutoNegFirstRead);
  return kOk;
}

ULONG AutoNegFirstRead(Adapter* adapter) {  // A2
  ChainPhyRead(adapter, adapter->ActivePhyAddress, kMiiStatus, AutoNegFirstLook);
  return kOk;
}

// A3 and A5. Auto-negotiation done: resolve from the partner. A home PHY
// with link needs no negotiation. Otherwise look once more after 5 s, and
// after the second look leave speed, duplex and controller as they were.
ULONG LookAtAutoNegotiation(Adapter* adapter, bool first_look) {
  if (StatusHas(adapter, kStatusAutoNegComplete)) return ReadPartnerAbility(adapter);
  if (IsHomePhyActive(adapter) && StatusHas(adapter, kStatusLink)) {
    adapter->LinkSpeed = kSpeedHome;
    adapter->LinkDuplex = kDuplexHalf;
    return ApplyLinkMode(adapter);
  }
  if (!first_look) return FinishLinkPoll(adapter);
  ChainDelay(adapter, kAutoNegSecondLookMs, AutoNegSecondRead);
  return kOk;
}

ULONG AutoNegFirstLook(Adapter* adapter) {
  return LookAtAutoNegotiation(adapter, true);
}

ULONG AutoNegSecondRead(Adapter* adapter) {  // A4
  ChainPhyRead(adapter, adapter->ActivePhyAddress, kMiiStatus, AutoNegSecondLook);
  return kOk;
}

ULONG AutoNegSecondLook(Adapter* adapter) {
  return LookAtAutoNegotiation(adapter, false);
}

ULONG ReadPartnerAbility(Adapter* adapter) {  // A6
  ChainPhyRead(adapter, adapter->ActivePhyAddress, kMiiPartnerAbility, ResolvePartnerAbility);
  return kOk;
}

ULONG ResolvePartnerAbility(Adapter* adapter) {  // A7
  ResolveLinkMode(adapter, ReadWord(adapter));
  return ApplyLinkMode(adapter);
}

// ---- Chain B: re-force the configured media ------------------------------------

ULONG WriteForcedAdvertisement(Adapter* adapter);
ULONG CheckForcedStatus(Adapter* adapter);
ULONG LookAtForcedStatus(Adapter* adapter);
ULONG ApplyForcedControl(Adapter* adapter);

ULONG RestartForcedMedia(Adapter* adapter) {  // B1
  ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiControl, RestartValue(adapter),
                WriteForcedAdvertisement);
  return kOk;
}

ULONG WriteForcedAdvertisement(Adapter* adapter) {  // B2
  USHORT control = 0;
  USHORT advertisement = 0;
  LookupForcedMedia(adapter, &control, &advertisement);
  ChainPhyWriteThenDelay(adapter, adapter->ActivePhyAddress, kMiiAdvertisement,
                         advertisement | kSelector8023, kForcedSettleMs, CheckForcedStatus);
  return kOk;
}

ULONG CheckForcedStatus(Adapter* adapter) {  // B3
  ChainStatusRead(adapter, adapter->ActivePhyAddress, LookAtForcedStatus);
  return kOk;
}

ULONG LookAtForcedStatus(Adapter* adapter) {  // B4
  if (StatusHas(adapter, kStatusAutoNegComplete)) return ApplyForcedControl(adapter);
  ChainDelay(adapter, kForcedSecondLookMs, ApplyForcedControl);
  return kOk;
}

// B5: the link is declared up whatever the status showed; the next poll
// corrects it.
ULONG ApplyForcedControl(Adapter* adapter) {
  USHORT control = 0;
  USHORT advertisement = 0;
  LookupForcedMedia(adapter, &control, &advertisement);
  MarkLinkUp(adapter);
  ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiControl, control, ApplyLinkMode);
  return kOk;
}

// ---- Chain M: program the controller and the PHYs for the link mode -------------

ULONG IsolateInactivePhy(Adapter* adapter);
ULONG ApplyPhyKindSettings(Adapter* adapter);
ULONG UpdateHomeLanMode(Adapter* adapter);
ULONG WriteHomeLanMode(Adapter* adapter);

// M2: the PHY not in use comes off the bus (the home PHY is isolated; for
// the home PHY the GPIO pair powers the Ethernet PHYs down).
ULONG IsolateInactivePhy(Adapter* adapter) {
  if (adapter->PhyCount == 1) return ApplyPhyKindSettings(adapter);
  if (IsHomePhyActive(adapter)) return SetGpioForHomePhy(adapter, ApplyPhyKindSettings);
  return IsolateHomePhy(adapter, ApplyPhyKindSettings);
}

ULONG ApplyPhyKindSettings(Adapter* adapter) {  // M3
  switch (adapter->ActivePhyId) {
    case kPhyEthernet1:
      ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiVendor27, kVendor27Value,
                    FinishLinkPoll);
      return kOk;
    case kPhyEthernet2:
      ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiVendor23, kVendor23Value,
                    FinishLinkPoll);
      return kOk;
    case kPhyEthernet4:
      return WriteEthernetLinkPattern(adapter);
    case kPhyHomeA:
    case kPhyHomeB:
      return WriteHomeLinkPattern(adapter, UpdateHomeLanMode);
    default:
      return FinishLinkPoll(adapter);
  }
}

ULONG UpdateHomeLanMode(Adapter* adapter) {  // M4
  if (adapter->HomeLanMode == kHomeLanModeUntouched) return FinishLinkPoll(adapter);
  ChainPhyRead(adapter, adapter->ActivePhyAddress, kMiiVendor16, WriteHomeLanMode);
  return kOk;
}

ULONG WriteHomeLanMode(Adapter* adapter) {  // M5
  USHORT value = static_cast<USHORT>((ReadWord(adapter) & kHomeLanModeMask) |
                                     HomeLanModeBits(adapter->HomeLanMode));
  ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiVendor16, value, FinishLinkPoll);
  return kOk;
}

// ---- Chains E and T: the Ethernet PHY lost its link -----------------------------

ULONG ForceVendor16(Adapter* adapter);
ULONG ReleaseVendor16(Adapter* adapter);
ULONG ReadRecoveredStatus(Adapter* adapter);
ULONG ReadRecoveredStatusAgain(Adapter* adapter);
ULONG LookAtRecoveredStatus(Adapter* adapter);
ULONG TryHomePhy(Adapter* adapter);
ULONG ReadHomeStatus(Adapter* adapter);
ULONG LookAtHomeStatus(Adapter* adapter);

ULONG RecoverEthernetLink(Adapter* adapter) {  // E1: 100 Mb/s half, no auto-negotiation
  ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiControl, kControlSpeed100, ForceVendor16);
  return kOk;
}

ULONG ForceVendor16(Adapter* adapter) {  // E2
  ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiVendor16, 0x2000, ReleaseVendor16);
  return kOk;
}

ULONG ReleaseVendor16(Adapter* adapter) {  // E3
  ChainPhyWriteThenDelay(adapter, adapter->ActivePhyAddress, kMiiVendor16, 0x0000,
                         kEthernetRecoverMs, ReadRecoveredStatus);
  return kOk;
}

ULONG ReadRecoveredStatus(Adapter* adapter) {  // E4
  ChainStatusRead(adapter, adapter->ActivePhyAddress, ReadRecoveredStatusAgain);
  return kOk;
}

ULONG ReadRecoveredStatusAgain(Adapter* adapter) {  // E5
  ChainStatusRead(adapter, adapter->ActivePhyAddress, LookAtRecoveredStatus);
  return kOk;
}

ULONG LookAtRecoveredStatus(Adapter* adapter) {  // E6
  if (StatusHas(adapter, kStatusLink)) {
    adapter->LinkSpeed = kSpeed100;
    adapter->LinkDuplex = kDuplexHalf;
    MarkLinkUp(adapter);
    return ApplyLinkMode(adapter);
  }
  // Without a home PHY to try, the Ethernet PHY stays on the bus and
  // negotiating rather than isolated with nothing in its place.
  UCHAR home_address;
  if (adapter->PhyCount <= 2 || !HomePhyAddress(adapter, &home_address)) {
    ChainPhyWrite(adapter, adapter->ActivePhyAddress, kMiiControl, kControlRestartAutoNeg,
                  FinishLinkPoll);
    return kOk;
  }
  return IsolateEthernetPhy(adapter, TryHomePhy);
}

ULONG TryHomePhy(Adapter* adapter) {  // T1
  return RestartHomePhy(adapter, kHomeRestartMs, ReadHomeStatus);
}

ULONG ReadHomeStatus(Adapter* adapter) {  // T2
  UCHAR home_address;
  if (!HomePhyAddress(adapter, &home_address)) return FinishLinkPoll(adapter);
  ChainStatusRead(adapter, home_address, LookAtHomeStatus);
  return kOk;
}

ULONG LookAtHomeStatus(Adapter* adapter) {  // T3
  UCHAR home_address;
  if (!StatusHas(adapter, kStatusLink) || !HomePhyAddress(adapter, &home_address)) {
    return IsolateHomePhy(adapter, FinishLinkPoll);
  }
  MarkLinkUp(adapter);
  adapter->ActivePhyAddress = home_address;
  adapter->ActivePhyId = adapter->PhyIdTable[adapter->HomePhyIndex];
  adapter->HomePhyMode = kHomePhyInUse;
  return RestartAutoNegotiation(adapter);
}

// ---- Chain H: back from the home PHY to the Ethernet PHY -------------------------

ULONG RestartEthernetPhy(Adapter* adapter);
ULONG ReadEthernetStatus(Adapter* adapter);
ULONG LookAtEthernetStatus(Adapter* adapter);

ULONG ReturnToEthernetPhy(Adapter* adapter) {  // H1
  return SetGpioForEthernetPhy(adapter, kEthernetGpioSettleMs, RestartEthernetPhy);
}

// H2. The Ethernet PHY was powered down and isolated when the home PHY took
// over; only a restart of its own auto-negotiation can bring its link back
// for the status read that follows.
ULONG RestartEthernetPhy(Adapter* adapter) {
  UCHAR ethernet_address;
  if (!EthernetPhyAddress(adapter, &ethernet_address)) return FinishLinkPoll(adapter);
  ChainPhyWriteThenDelay(adapter, ethernet_address, kMiiControl, kControlRestartAutoNeg,
                         kEthernetRestartMs, ReadEthernetStatus);
  return kOk;
}

ULONG ReadEthernetStatus(Adapter* adapter) {  // H3
  UCHAR ethernet_address;
  if (!EthernetPhyAddress(adapter, &ethernet_address)) return FinishLinkPoll(adapter);
  ChainStatusRead(adapter, ethernet_address, LookAtEthernetStatus);
  return kOk;
}

// H4. The link state stays down: this chain ends with a disconnect, and the
// next poll finds the Ethernet link up, reconfigures and indicates connect.
ULONG LookAtEthernetStatus(Adapter* adapter) {
  UCHAR ethernet_address;
  if (!StatusHas(adapter, kStatusLink) || !EthernetPhyAddress(adapter, &ethernet_address)) {
    return IsolateEthernetPhy(adapter, FinishLinkPoll);
  }
  adapter->ActivePhyAddress = ethernet_address;
  adapter->ActivePhyId = adapter->PhyIdTable[adapter->EthernetPhyIndex];
  adapter->LinkChangePending = 1;
  adapter->HomePhyMode = kEthernetPhyInUse;
  return IsolateHomePhy(adapter, RestartAutoNegotiation);
}

}  // namespace

// ---- Shared steps -----------------------------------------------------------------

ULONG SetGpioForHomePhy(Adapter* adapter, StepRoutine next) {
  adapter->RegWriteBuffer[0] = 0x36;
  adapter->RegWriteBuffer[1] = 0x04;
  ChainRegisterWrite(adapter, 2, kRegGpioPair, adapter->RegWriteBuffer, next);
  return kOk;
}

ULONG SetGpioForEthernetPhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume) {
  adapter->RegWriteBuffer[0] = 0x26;
  adapter->RegWriteBuffer[1] = 0x00;
  ChainRegisterWriteThenDelay(adapter, 2, kRegGpioPair, adapter->RegWriteBuffer, delay_ms, resume);
  return kOk;
}

// A missing PHY has nothing to isolate: the chain goes straight on.
ULONG IsolateEthernetPhy(Adapter* adapter, StepRoutine next) {
  UCHAR address;
  if (!EthernetPhyAddress(adapter, &address)) return next(adapter);
  ChainPhyWrite(adapter, address, kMiiControl, kControlPowerDownIsolate, next);
  return kOk;
}

ULONG IsolateHomePhy(Adapter* adapter, StepRoutine next) {
  UCHAR address;
  if (!HomePhyAddress(adapter, &address)) return next(adapter);
  ChainPhyWrite(adapter, address, kMiiControl, kControlPowerDownIsolate, next);
  return kOk;
}

// The restart value follows the active PHY's kind, which at this point is
// still the Ethernet PHY's.
ULONG RestartHomePhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume) {
  UCHAR address;
  if (!HomePhyAddress(adapter, &address)) return FinishLinkPoll(adapter);
  ChainPhyWriteThenDelay(adapter, address, kMiiControl, RestartValue(adapter), delay_ms, resume);
  return kOk;
}

ULONG ReconfigureAfterLinkUp(Adapter* adapter) {
  // A MediaType with no forced words (above 5 without the home PHY) is
  // treated as auto-negotiation rather than writing undefined words.
  if (adapter->MediaType == 0 || !HasForcedMedia(adapter)) {
    return RestartAutoNegotiation(adapter);
  }
  return RestartForcedMedia(adapter);
}

ULONG SwitchAfterLinkLoss(Adapter* adapter) {
  if (adapter->MediaType != 0) return FinishLinkPoll(adapter);  // forced media stays
  if (adapter->PhyCount == 1 && IsHomePhyActive(adapter)) return FinishLinkPoll(adapter);
  if (IsEthernetPhyActive(adapter)) return RecoverEthernetLink(adapter);
  UCHAR ethernet_address;
  if (!EthernetPhyAddress(adapter, &ethernet_address)) return FinishLinkPoll(adapter);
  return ReturnToEthernetPhy(adapter);
}

// M1: the controller's speed and duplex bits follow the resolved mode.
// Register 0x02 is written with the packet filter's own value so that a
// speed change does not drop broadcast or promiscuous reception.
ULONG ApplyLinkMode(Adapter* adapter) {
  UCHAR before = adapter->RxControl1;
  ComputeMediaBits(adapter);
  if (adapter->RxControl1 == before) return IsolateInactivePhy(adapter);
  adapter->RegWriteBuffer[0] = adapter->RxControl1;
  adapter->RegWriteBuffer[1] = adapter->FilterControl2;
  ChainRegisterWrite(adapter, 2, kRegRxControl1, adapter->RegWriteBuffer, IsolateInactivePhy);
  return kOk;
}

}  // namespace usbeth
