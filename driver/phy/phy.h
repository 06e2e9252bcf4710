// MII management access, PHY discovery and selection, media setup at start.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

// MII access
void PhyWrite(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value);
void PhyRead(Adapter* adapter, UCHAR phy_address, UCHAR reg, PUSHORT value);
void SelectPhyAddress(Adapter* adapter, UCHAR phy_address);
StepRoutine PhyWriteAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value);
StepRoutine PhyReadCommandAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg);
StepRoutine PhyReadAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, StepRoutine next);
StepRoutine ReadPhyStatusAsync(Adapter* adapter, UCHAR phy_address, StepRoutine next);
ULONG PhyReadDataStep(Adapter* adapter);
ULONG PhyStatusCheckStep(Adapter* adapter);

// Discovery and selection
ULONG ScanPhys(Adapter* adapter);
ULONG FindHomePhy(Adapter* adapter);
ULONG FindEthernetPhy(Adapter* adapter);
ULONG IsolateIdlePhy(Adapter* adapter);
ULONG SelectSinglePhy(Adapter* adapter, ULONG ethernet_found, ULONG home_found);
ULONG SelectPhy(Adapter* adapter);
ULONG ProbeLinkState(Adapter* adapter, UCHAR phy_address);

// Media setup
ULONG SetupMedia(Adapter* adapter);
void LookupForcedMedia(Adapter* adapter, PUSHORT control, PUSHORT advertisement);
void ForceMedia(Adapter* adapter, USHORT control, USHORT advertisement);
ULONG AutoNegotiate(Adapter* adapter);
ULONG WaitAutoNegComplete(Adapter* adapter);
void ResolveLinkMode(Adapter* adapter, USHORT partner_ability);
void ProgramHomePhy(Adapter* adapter);
void ConfigurePhyKind(Adapter* adapter);

}  // namespace usbeth
