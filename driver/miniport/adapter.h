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

// The deepest queue of bulk-in reads that may be configured: the size of
// the ring that holds them (a power of two).
constexpr ULONG kMaxRxQueueDepth = 16;

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

// Fields that one context writes while others test them without a lock
// (AdapterState, TxStarved, LinkPollBusy) are read and written whole through
// these, so that the compiler never tears, merges or caches an access. A store
// publishes what its writer did before it (a chain's use of the register
// buffers before it clears LinkPollBusy); on x86 both are plain moves.
template <typename T>
inline T LoadShared(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T, typename V>
inline void StoreShared(T& field, V value) {
  __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELEASE);
}
// Stores `value` and returns what the field held, as one full barrier: a
// store that other processors must see before the writer reads a field of
// theirs (the stop path's state change before it counts the timer arming in
// progress).
template <typename T, typename V>
inline T ExchangeShared(T& field, V value) {
  return __atomic_exchange_n(&field, static_cast<T>(value), __ATOMIC_SEQ_CST);
}
// Statistics counters: a completion counts while a query reads them and a
// reset zeroes them, each on its own processor, so every access is whole. A
// count that meets a reset's zeroing may be lost; it is only a statistic.
inline void CountShared(ULONG& counter) {
  __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
}
// Adds 1 and returns the new value, as one full barrier.
template <typename T>
inline T IncrementShared(T& field) {
  return __atomic_add_fetch(&field, 1, __ATOMIC_SEQ_CST);
}
// Moves the field from `expected` to `desired` only when it holds `expected`.
template <typename T, typename V, typename W>
inline bool CompareExchangeShared(T& field, V expected, W desired) {
  T old_value = static_cast<T>(expected);
  return __atomic_compare_exchange_n(&field, &old_value, static_cast<T>(desired), false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

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
  // Bulk-in transfers whose bytes form no frame: shorter than an Ethernet
  // header, longer than a frame, or with a trailer whose length disagrees
  // with the transfer. Reported with the CRC errors as receive errors.
  ULONG RxFramingErrors;
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
  // Bulk-out transfers at the bus driver at once, and bulk-in reads
  // outstanding at once (1 each unless configured deeper).
  ULONG TxQueueDepth;
  ULONG RxQueueDepth;

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
  // Set while a reset aborts and resets the bulk pipes after a failed
  // transfer: queued bulk-out IRPs are ended unsent (transmit.cpp).
  UCHAR TxPipesAborting;
  // Bulk-out IRPs taken for passing down whose IofCallDriver has not returned.
  LONG TxIrpsPassing;
  // Set when a bulk-out transfer failed: the device may hold a frame without
  // its end, so nothing more goes down until a reset resets the pipes.
  UCHAR TxHeldAfterFailure;
  // Set when a bulk-in transfer failed while a restart had the adapter in
  // state 0, or when the restart's pipe reset failed: the pipe may still be
  // halted, so the restart ends with the adapter failed and the next hang
  // check resets it again.
  UCHAR BulkFailedDuringRestart;
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

  // Packet-filter register write (controller/packet_filter.cpp). The write
  // of registers 0x00..0x02 goes out asynchronously with a URB, an IRP and a
  // data buffer of its own, so that a set at DISPATCH_LEVEL never waits and
  // never shares RegWriteBuffer, NextStep or the async URB slots with a link
  // chain. Busy and Dirty are changed only with interlocked operations.
  UCHAR FilterControl2;        // value for register 0x02 from the last filter set
  UCHAR FilterWriteBuffer[3];  // data of the filter write in flight
  LONG FilterWriteBusy;        // 1 while a filter write is in flight
  LONG FilterWriteDirty;       // 1 when the shadows changed after the last write started
  PURB FilterWriteUrb;         // URB of the filter write in flight

  // Link monitor (phy/link_monitor.cpp). Plain bytes, owned like the
  // continuation slots by whoever holds LinkPollBusy.
  UCHAR LinkChainTimerPending;  // the running link chain waits on StepTimer
  UCHAR LinkMonitorStopping;    // the stop sequence has begun: no chain goes on, nothing re-arms

  // Lifecycle (miniport/, usb/). Asynchronous register requests in flight,
  // so that the stop path can wait for them and cancel one the device never
  // answers; AsyncIrpLock guards the IRP slots against the completion
  // routines, which free the IRPs.
  KSPIN_LOCK AsyncIrpLock;
  PIRP AsyncReadIrp;
  PIRP AsyncWriteIrp;
  PIRP AsyncCancelIrp;           // IRP being cancelled: its completion leaves the free
  UCHAR AsyncCancelFreePending;  // to the canceller, which this flag tells to free it
  LONG AsyncRequestsOutstanding;
  UCHAR KeepAliveTimerStarted;  // KeepAliveTimer was initialized by MiniportInitialize
  // A reset requested above PASSIVE_LEVEL runs from this work item and is
  // completed to NDIS afterwards; halt waits for it to end.
  NDIS_WORK_ITEM ResetWorkItem;
  LONG ResetInProgress;
  // Timer arming and timer routines in progress (interlocked). The stop path
  // sets the stopped state and then waits for both to reach zero: an arming
  // that began before the state changed has then ended, and every later one
  // sees the state and arms nothing.
  LONG TimerArmsInProgress;
  LONG TimerRoutinesRunning;
  // The packet-filter write at the bus driver, so that the stop path and a
  // reset can cancel one the device never answers (guarded by AsyncIrpLock).
  PIRP FilterWriteIrp;

  // Data path (datapath/). The receive packet records, so that every receive
  // packet can be freed wherever its descriptor is; bulk-in IRPs at the bus
  // driver (interlocked), so that halt can wait for them; and the flag, under
  // RxLock, that keeps one IndicateReceived run indicating at a time so that
  // frames reach NDIS in arrival order. Bulk-out IRPs, data and keep-alive,
  // are counted in TxIrpsOutstanding.
  PVOID RxPacketRecords;
  LONG RxIrpsOutstanding;
  UCHAR RxIndicating;
  // Under TxSubmitLock: bulk-out IRPs passed to the bus driver and not yet
  // ended. The turn to pass queued ones down (one thread at a time, so that
  // the bus driver gets them in queue order): 0 free, 1 held, above 1 held
  // and asked to look again; interlocked (transmit.cpp).
  LONG TxIrpsAtBus;
  LONG TxPassing;
  // Under TxSubmitLock: bulk-out IRPs ended so far, and what the hang check
  // saw of it, so that it can tell a device that stopped taking them.
  ULONG TxIrpsEnded;
  ULONG TxIrpsEndedAtLastCheck;
  UCHAR TxStalledChecks;
  // Under RxLock, with queues deeper than one: the reads at the bus driver in
  // the order they were passed down, which is the order the device fills
  // them in, as a ring (the oldest at RxReadingHead, RxReadingTail -
  // RxReadingHead of them, the counters running on). The turn to pass reads
  // down (one thread at a time, for the same reason), counted like TxPassing
  // (receive.cpp).
  TransferDescriptor* RxReading[kMaxRxQueueDepth];
  ULONG RxReadingHead;
  ULONG RxReadingTail;
  ULONG RxReadsEndedEarly;  // reads in the ring that ended before an older one
  LONG RxPassing;
  UCHAR RxLoneReadOut;  // reads one at a time: the read is at the bus driver

  // Trust in the device (usb/usb_transport.cpp). Set, interlocked, when a
  // synchronous request ran out its time limit: the device stopped
  // answering, and the rest of the sequence (bring-up, reset or stop) goes on
  // without waiting for it again. BeginDeviceSequence clears it at the start
  // of each sequence.
  LONG DeviceSilent;
};

}  // namespace usbeth
