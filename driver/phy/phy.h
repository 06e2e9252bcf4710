// MII management access, PHY discovery and selection, media setup at start.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

// MII command block in controller registers 0x25..0x28: PHY address, data low,
// data high, command. The command byte holds the PHY register number in bits
// 0..4; reading 0x28 back shows the done bit once the operation has finished.
constexpr UCHAR kMiiWriteCommand = 0x20;
constexpr UCHAR kMiiReadCommand = 0x40;
constexpr UCHAR kMiiDone = 0x80;
constexpr UCHAR kMiiRegisterMask = 0x1F;
// Read-backs of register 0x28 after the first one when the done bit is late;
// each is followed by a 100 us sleep. After them the operation returns anyway.
constexpr ULONG kMiiDoneRetries = 10;
constexpr ULONG kMiiPollDelayUs = 100;

// Clause-22 PHY registers and bits used at start.
constexpr UCHAR kMiiControl = 0;
constexpr UCHAR kMiiStatus = 1;
constexpr UCHAR kMiiIdHigh = 2;
constexpr UCHAR kMiiIdLow = 3;
constexpr UCHAR kMiiAdvertisement = 4;
constexpr UCHAR kMiiPartnerAbility = 5;
constexpr USHORT kControlReset = 0x8000;
constexpr USHORT kControlSpeed100 = 0x2000;
constexpr USHORT kControlRestartAutoNeg = 0x1200;  // enable and restart
constexpr USHORT kControlFullDuplex = 0x0100;
constexpr USHORT kControlPowerDownIsolate = 0x0C00;
constexpr USHORT kStatusLink = 0x0004;
// What a status read returns when no PHY drives the MII data line: an empty
// address, a PHY held in reset or powered away. It carries no link.
constexpr USHORT kMiiNoAnswer = 0xFFFF;
constexpr USHORT kStatusAutoNegComplete = 0x0020;
constexpr USHORT kAdvertiseAll = 0x01E1;  // 100/10 full and half, selector 802.3
constexpr USHORT kAdvertiseAllAbilities = 0x01E0;
constexpr USHORT kSelector8023 = 0x0001;
constexpr USHORT kAbility100Full = 0x0100;
constexpr USHORT kAbility100Half = 0x0080;
constexpr USHORT kAbility10Full = 0x0040;

// PHY scan: MII addresses probed at bring-up.
constexpr UCHAR kPhyScanAddresses = 10;

// MII access. The synchronous forms wait and run at PASSIVE_LEVEL only; each
// returns within a bounded number of register requests even when the done bit
// never shows, and PhyRead always stores a value (see mii.cpp).
void PhyWrite(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value);
void PhyRead(Adapter* adapter, UCHAR phy_address, UCHAR reg, PUSHORT value);
void SelectPhyAddress(Adapter* adapter, UCHAR phy_address);
// Asynchronous forms: never wait, any IRQL up to DISPATCH_LEVEL. They return
// what the underlying asynchronous register request returned (2 when it could
// not be started, and then no continuation runs).
NTSTATUS PhyWriteAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value);
NTSTATUS PhyReadCommandAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg);
NTSTATUS PhyReadAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, StepRoutine next);
NTSTATUS ReadPhyStatusAsync(Adapter* adapter, UCHAR phy_address, StepRoutine next);
ULONG PhyReadDataStep(Adapter* adapter);
ULONG PhyStatusCheckStep(Adapter* adapter);

// Discovery and selection (bring-up, PASSIVE_LEVEL).
ULONG ScanPhys(Adapter* adapter);
ULONG FindHomePhy(Adapter* adapter);
ULONG FindEthernetPhy(Adapter* adapter);
ULONG IsolateIdlePhy(Adapter* adapter);
ULONG SelectSinglePhy(Adapter* adapter, ULONG ethernet_found, ULONG home_found);
ULONG SelectPhy(Adapter* adapter);
ULONG ProbeLinkState(Adapter* adapter, UCHAR phy_address);

// Media setup at each controller start (PASSIVE_LEVEL).
ULONG SetupMedia(Adapter* adapter);
// True when MediaType names a forced mode (1..5, or above 5 with the home PHY
// in use). Any other nonzero value is treated as automatic media.
bool HasForcedMedia(const Adapter* adapter);
// For a MediaType without a forced mode, control and advertisement receive
// the auto-negotiation pair (0x1200, 0x01E0) and speed and duplex are left
// as they are, so a caller never writes an undefined word to the PHY.
void LookupForcedMedia(Adapter* adapter, PUSHORT control, PUSHORT advertisement);
void ForceMedia(Adapter* adapter, USHORT control, USHORT advertisement);
ULONG AutoNegotiate(Adapter* adapter);
ULONG WaitAutoNegComplete(Adapter* adapter);
void ResolveLinkMode(Adapter* adapter, USHORT partner_ability);
void ProgramHomePhy(Adapter* adapter);
USHORT HomeLanModeBits(ULONG home_lan_mode);
void ConfigurePhyKind(Adapter* adapter);

}  // namespace usbeth
