// The per-device record of the driver and the small types it is made of.
// One Adapter exists per NDIS adapter; every operation of the driver takes it
// first. Besides it, the only mutable globals are the two tag counters of the
// resource tracker.
#pragma once

#include "wdk.h"

namespace usbeth {

struct Adapter;
struct TransferDescriptor;

// Results of the driver's own operations.
constexpr ULONG kOk = 1;
constexpr ULONG kFailed = 2;
constexpr ULONG kPhyNotFound = 22;

// AdapterState
constexpr ULONG kStateInitializing = 0;
constexpr ULONG kStateRunning = 12;
constexpr ULONG kStateStopped = 14;
constexpr ULONG kStateUsbFailure = 18;

// LinkState / HandledLinkState
constexpr ULONG kLinkUp = 5;
constexpr ULONG kLinkDown = 6;

// LinkSpeed
constexpr ULONG kSpeed10 = 1;
constexpr ULONG kSpeed100 = 2;
constexpr ULONG kSpeedHome = 3;

// LinkDuplex
constexpr ULONG kDuplexHalf = 1;
constexpr ULONG kDuplexFull = 2;

// HomePhyMode
constexpr ULONG kHomePhyInUse = 1;
constexpr ULONG kEthernetPhyInUse = 0;
constexpr ULONG kSingleUnknownPhy = 0xFFFE;
constexpr ULONG kNoPhy = 255;

constexpr UCHAR kNoPhyIndex = 255;
constexpr ULONG kMaxPhys = 4;
constexpr ULONG kMaxMulticast = 64;
constexpr ULONG kEthernetAddressLength = 6;

// PHY identifiers (MII register 2 << 16 | register 3, revision bits cleared).
constexpr ULONG kPhyHomeA = 0x00006B90;
constexpr ULONG kPhyHomeB = 0x20005C20;
constexpr ULONG kPhyEthernet1 = 0x00406210;
constexpr ULONG kPhyEthernet2 = 0x00437410;
constexpr ULONG kPhyEthernet3 = 0x00225610;
constexpr ULONG kPhyEthernet4 = 0x00225410;
constexpr ULONG kPhyPaired = 0x00006B70;

// A routine run as the next step of a continuation chain. The status it
// returns is not read by anyone.
typedef ULONG (*StepRoutine)(Adapter* adapter);

// A queue of transfer descriptors linked through their Next/Prev fields.
struct DescriptorQueue {
  TransferDescriptor* Front;
  TransferDescriptor* Back;
  LONG Count;
};

struct AdapterStatistics {
  ULONG RxGoodFrames;
  ULONG RxCrcErrors;
  ULONG RxAlignmentErrors;
  ULONG TxGoodFrames;
  ULONG TxErrors;
  ULONG TxUnderruns;
  ULONG TxOneCollisions;
  ULONG TxDeferred;
};

struct TrackRecord;

struct TrackList {
  TrackRecord* Front;
  TrackRecord* Back;
  LONG Count;
};

struct TrackerLists {
  TrackList InUseList;
  TrackList SpareList;
  ULONG TotalTracked;
};

struct Adapter {
  // Configuration
  ULONG TxDescriptorCount;
  ULONG RxDescriptorCount;
  ULONG MediaType;
  ULONG HomeLanMode;

  // Data-path queues
  DescriptorQueue TxFreeQueue;
  DescriptorQueue RxFreeQueue;
  DescriptorQueue RxReadyQueue;

  ULONG AlivePara;

  AdapterStatistics Statistics;

  // Addresses and PHY bookkeeping
  UCHAR CurrentAddress[kEthernetAddressLength];
  ULONG HandledLinkState;
  ULONG ActivePhyId;
  UCHAR ActivePhyAddress;
  UCHAR EthernetPhyIndex;
  UCHAR HomePhyIndex;
  UCHAR PhySelection;
  UCHAR PhyCount;
  ULONG PhyIdTable[kMaxPhys];
  UCHAR PhyAddressTable[kMaxPhys];
  ULONG HomePhyMode;
  ULONG LinkState;
  ULONG LinkSpeed;
  ULONG LinkDuplex;

  // Lifecycle
  ULONG AdapterState;
  UCHAR PermanentAddress[kEthernetAddressLength];

  // USB device
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT LowerDevice;
  UCHAR IrpStackSize;
  UCHAR DeviceDescriptor[18];
  PUCHAR ConfigurationDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;

  // Controller register buffers
  UCHAR RegReadBuffer[6];
  UCHAR RegWriteBuffer[8];
  UCHAR GpioWriteBuffer[2];

  // Bulk-out submission
  KSPIN_LOCK TxPendingLock;
  KSPIN_LOCK TxSubmitLock;
  LIST_ENTRY TxPendingQueue;
  UCHAR TxZeroLengthPending;

  // Controller shadows and asynchronous register work
  UCHAR RxControl0;
  UCHAR RxControl1;
  PURB AsyncWriteUrb;
  PURB AsyncReadUrb;
  UCHAR LinkPollBusy;
  UCHAR LinkDownCount;
  UCHAR FirstStartDone;
  UCHAR LinkChangePending;

  // Multicast
  UCHAR MulticastList[kMaxMulticast][kEthernetAddressLength];
  USHORT MulticastCount;

  // Keep-alive
  ULONG KeepAliveTicks;
  UCHAR KeepAliveEnabled;

  // Continuations
  StepRoutine NextStep;
  StepRoutine ResumeStep;
  StepRoutine StatusStep;
  UCHAR StatusPhyAddress;
  ULONG StepDelayMs;

  // Transmit accounting and NDIS handles
  LONG TxIrpsOutstanding;
  NDIS_HANDLE MiniportAdapterHandle;
  NDIS_HANDLE WrapperConfigurationContext;
  ULONG PacketFilter;
  UCHAR TxStarved;

  // Locks, timers and tracking
  NDIS_SPIN_LOCK TxLock;
  NDIS_SPIN_LOCK RxLock;
  NDIS_MINIPORT_TIMER RxIndicateTimer;
  NDIS_MINIPORT_TIMER StepTimer;
  NDIS_MINIPORT_TIMER LinkPollTimer;
  NDIS_MINIPORT_TIMER KeepAliveTimer;
  TrackerLists ResourceTracker;
  UCHAR PoolsAllocated;
};

}  // namespace usbeth
