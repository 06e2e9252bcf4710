// PHY discovery and selection at bring-up: scan the MII bus, recognise the
// PHY kinds by identifier, isolate PHYs that stay idle, and choose the active
// PHY by the configured media type and the links found.
#include "phy/phy.h"

namespace usbeth {

namespace {

constexpr ULONG kHomePhyIds[] = {kPhyHomeA, kPhyHomeB};
constexpr ULONG kEthernetPhyIds[] = {kPhyEthernet1, kPhyEthernet2, kPhyEthernet3, kPhyEthernet4};

ULONG RecordedPhys(const Adapter* adapter) {
  return adapter->PhyCount < kMaxPhys ? adapter->PhyCount : kMaxPhys;
}

// Finds the first listed identifier present in the tables; list order first,
// table order second.
UCHAR FindFirstOf(const Adapter* adapter, const ULONG* ids, ULONG id_count) {
  for (ULONG i = 0; i < id_count; ++i) {
    for (ULONG entry = 0; entry < RecordedPhys(adapter); ++entry) {
      if (adapter->PhyIdTable[entry] == ids[i]) return static_cast<UCHAR>(entry);
    }
  }
  return kNoPhyIndex;
}

// Index of the PHY that IsolateIdlePhy powers down, or kNoPhyIndex.
UCHAR IsolatedEntry(const Adapter* adapter) {
  if (RecordedPhys(adapter) < 2) return kNoPhyIndex;
  for (ULONG entry = 0; entry < RecordedPhys(adapter); ++entry) {
    if (adapter->PhyIdTable[entry] == kPhyPaired) return static_cast<UCHAR>(entry);
  }
  return kNoPhyIndex;
}

void UseEntry(Adapter* adapter, UCHAR entry, ULONG home_phy_mode) {
  adapter->HomePhyMode = home_phy_mode;
  adapter->ActivePhyAddress = adapter->PhyAddressTable[entry];
  adapter->ActivePhyId = adapter->PhyIdTable[entry];
}

void PowerDownEntry(Adapter* adapter, UCHAR entry) {
  PhyWrite(adapter, adapter->PhyAddressTable[entry], kMiiControl, kControlPowerDownIsolate);
}

}  // namespace

// Probes every address; records at most kMaxPhys PHYs, so that a fifth one
// that answers is probed like the others but not written past the tables.
ULONG ScanPhys(Adapter* adapter) {
  adapter->PhyCount = 0;
  for (UCHAR address = 0; address < kPhyScanAddresses; ++address) {
    SelectPhyAddress(adapter, address);
    USHORT status = 0;
    PhyRead(adapter, address, kMiiStatus, &status);
    if (status == kMiiNoAnswer || status == 0x0000) continue;
    USHORT id_high = 0;
    USHORT id_low = 0;
    PhyRead(adapter, address, kMiiIdHigh, &id_high);
    PhyRead(adapter, address, kMiiIdLow, &id_low);
    if (adapter->PhyCount >= kMaxPhys) continue;
    adapter->PhyAddressTable[adapter->PhyCount] = address;
    adapter->PhyIdTable[adapter->PhyCount] =
        ((static_cast<ULONG>(id_high) << 16) | id_low) & 0xFFFFFFF0u;
    ++adapter->PhyCount;
  }
  return adapter->PhyCount != 0 ? kOk : kFailed;
}

ULONG FindHomePhy(Adapter* adapter) {
  adapter->HomePhyIndex = FindFirstOf(adapter, kHomePhyIds, 2);
  return adapter->HomePhyIndex != kNoPhyIndex ? kOk : kPhyNotFound;
}

ULONG FindEthernetPhy(Adapter* adapter) {
  adapter->EthernetPhyIndex = FindFirstOf(adapter, kEthernetPhyIds, 4);
  return adapter->EthernetPhyIndex != kNoPhyIndex ? kOk : kPhyNotFound;
}

ULONG IsolateIdlePhy(Adapter* adapter) {
  for (ULONG entry = 0; entry < RecordedPhys(adapter); ++entry) {
    if (adapter->PhyIdTable[entry] == kPhyPaired) {
      PowerDownEntry(adapter, static_cast<UCHAR>(entry));
      break;
    }
  }
  return kOk;
}

// Home-network PHY, else Ethernet PHY, else the first entry as an
// unrecognised PHY. With several PHYs, "first entry" skips the one that
// IsolateIdlePhy has powered down, so the adapter never runs on it.
ULONG SelectSinglePhy(Adapter* adapter, ULONG ethernet_found, ULONG home_found) {
  if (home_found == kOk && adapter->HomePhyIndex < RecordedPhys(adapter)) {
    UseEntry(adapter, adapter->HomePhyIndex, kHomePhyInUse);
  } else if (ethernet_found == kOk && adapter->EthernetPhyIndex < RecordedPhys(adapter)) {
    UseEntry(adapter, adapter->EthernetPhyIndex, kEthernetPhyInUse);
  } else {
    UCHAR isolated = IsolatedEntry(adapter);
    UCHAR entry = 0;
    while (entry == isolated && entry + 1u < RecordedPhys(adapter))
      ++entry;
    UseEntry(adapter, entry, kSingleUnknownPhy);
  }
  return kOk;
}

ULONG SelectPhy(Adapter* adapter) {
  if (adapter->PhyCount == 0) return kFailed;
  adapter->PhySelection = 2;
  ULONG home_found = FindHomePhy(adapter);
  ULONG ethernet_found = FindEthernetPhy(adapter);
  if (adapter->PhyCount == 1) return SelectSinglePhy(adapter, ethernet_found, home_found);

  IsolateIdlePhy(adapter);
  // Choosing by link needs both a home-network and an Ethernet PHY. Boards
  // with only one of the two kinds (or neither) among several PHYs follow the
  // single-PHY rule; this covers a home PHY without an Ethernet PHY, which is
  // used without a link probe.
  if (home_found != kOk || ethernet_found != kOk) {
    return SelectSinglePhy(adapter, ethernet_found, home_found);
  }

  UCHAR home = adapter->HomePhyIndex;
  UCHAR ethernet = adapter->EthernetPhyIndex;
  ULONG home_link = ProbeLinkState(adapter, adapter->PhyAddressTable[home]);
  ULONG ethernet_link = ProbeLinkState(adapter, adapter->PhyAddressTable[ethernet]);

  bool use_home;
  if (adapter->MediaType == 0) {
    if (ethernet_link == kLinkUp) {
      use_home = false;
    } else if (home_link == kLinkUp) {
      use_home = true;
    } else {
      // Neither has a link: nothing is chosen and neither PHY is touched;
      // media setup then leaves both alone until the link monitor decides.
      adapter->PhySelection = 0;
      UseEntry(adapter, ethernet, kEthernetPhyInUse);
      return kFailed;
    }
  } else {
    use_home = adapter->MediaType == 5;
  }

  if (use_home) {
    UseEntry(adapter, home, kHomePhyInUse);
    PowerDownEntry(adapter, ethernet);
  } else {
    UseEntry(adapter, ethernet, kEthernetPhyInUse);
    PowerDownEntry(adapter, home);
  }
  return kOk;
}

// The link bit latches low until read, so a clear bit is read a second time
// before the link counts as down.
// A status of all ones comes from an address nobody answers on and shows no
// link.
static bool StatusShowsLink(USHORT status) {
  return status != kMiiNoAnswer && (status & kStatusLink) != 0;
}

ULONG ProbeLinkState(Adapter* adapter, UCHAR phy_address) {
  USHORT status = 0;
  PhyRead(adapter, phy_address, kMiiStatus, &status);
  if (StatusShowsLink(status)) return kLinkUp;
  PhyRead(adapter, phy_address, kMiiStatus, &status);
  return StatusShowsLink(status) ? kLinkUp : kLinkDown;
}

}  // namespace usbeth
