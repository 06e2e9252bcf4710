// Adapter initialization: the NDIS initialize handler, the bring-up of the
// hardware and memory in a fixed order, and the controller start that a reset
// repeats.

#include "controller/controller.h"
#include "datapath/datapath.h"
#include "miniport/configuration.h"
#include "miniport/miniport.h"
#include "miniport/tracker.h"
#include "phy/link_monitor.h"
#include "phy/phy.h"
#include "usb/usb_config.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr UINT kCheckForHangSeconds = 4;
constexpr ULONG kAdapterAttributes =
    NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
    NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE;
constexpr ULONG kDefaultDescriptorCount = 20;
constexpr ULONG kMinimumRxDescriptors = 3;
// A frame whose transfer is a multiple of the packet size takes two transmit
// descriptors: its own and the zero-length transfer that ends it.
constexpr ULONG kMinimumTxDescriptors = 2;
constexpr ULONG kMulticastHashBytes = 8;
// The deepest queue of bulk-out transfers at the bus driver that may be
// configured (kMaxRxQueueDepth for the reads).
constexpr ULONG kMaxTxQueueDepth = 16;

// `value` brought into 1..`most`.
ULONG ClampDepth(ULONG value, ULONG most) {
  if (value < 1) return 1;
  return value > most ? most : value;
}

// Register 0x1C value for an AlivePara setting; 0 writes nothing.
UCHAR AliveParameterValue(ULONG alive_para) {
  switch (alive_para) {
    case 1:
      return 0x81;
    case 2:
      return 0x84;
    case 3:
      return 0x90;
    case 4:
      return 0x9F;
    default:
      return 0x81;
  }
}

}  // namespace

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext) {
  UNREFERENCED_PARAMETER(OpenErrorStatus);

  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3)
    ++medium;
  if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *SelectedMediumIndex = medium;

  PVOID memory = nullptr;
  NDIS_STATUS status = NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), kAdapterTag);
  if (status != NDIS_STATUS_SUCCESS) return status;
  if (memory == nullptr) return NDIS_STATUS_FAILURE;
  Adapter* adapter = static_cast<Adapter*>(memory);
  NdisZeroMemory(adapter, sizeof(Adapter));
  adapter->PoolsAllocated = 0;
  StoreShared(adapter->AdapterState, kStateInitializing);

  // The Adapter is the oldest tracked resource; the release sweep frees it
  // after everything else.
  TrackRecord* record = NewTrackRecord(adapter);
  if (record == nullptr) {
    NdisFreeMemory(adapter, sizeof(Adapter), 0);
    return NDIS_STATUS_RESOURCES;
  }
  record->Description.Memory.Size = sizeof(Adapter);
  record->Description.Memory.Address = adapter;
  record->Type = TrackMemory;

  adapter->MiniportAdapterHandle = MiniportAdapterHandle;
  adapter->WrapperConfigurationContext = WrapperConfigurationContext;

  NdisMSetAttributesEx(MiniportAdapterHandle, adapter, kCheckForHangSeconds, kAdapterAttributes,
                       NdisInterfaceInternal);

  NdisAllocateSpinLock(&adapter->TxLock);
  NdisAllocateSpinLock(&adapter->RxLock);
  KeInitializeSpinLock(&adapter->AsyncIrpLock);

  // The first bulk-in read, launched during bring-up, may complete and arm
  // the receive timer before this handler returns.
  NdisMInitializeTimer(&adapter->RxIndicateTimer, MiniportAdapterHandle, IndicateReceived, adapter);
  NdisMInitializeTimer(&adapter->StepTimer, MiniportAdapterHandle, StepTimerExpired, adapter);
  NdisMInitializeTimer(&adapter->LinkPollTimer, MiniportAdapterHandle, LinkPollTimerExpired,
                       adapter);

  if (BringUpAdapter(adapter) != kOk) {
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    ReleaseAllResources(adapter);
    return NDIS_STATUS_RESOURCES;
  }

  NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, adapter, MiniportShutdown);
  StartLinkPollTimer(adapter, kLinkPollIntervalMs);
  if (adapter->KeepAliveEnabled) {
    NdisMInitializeTimer(&adapter->KeepAliveTimer, MiniportAdapterHandle, KeepAliveTimerExpired,
                         adapter);
    adapter->KeepAliveTimerStarted = 1;
    NdisMSetTimer(&adapter->KeepAliveTimer, kKeepAliveIntervalMs);
  }

  // The first poll indicates whatever it finds; a link found down is handled
  // as a change from up. The first start made the adapter running; a read
  // that failed since left it failed, which the first hang check resets.
  CompareExchangeShared(adapter->AdapterState, kStateInitializing, kStateRunning);
  adapter->HandledLinkState = kLinkUp;
  adapter->LinkState = kLinkDown;
  adapter->LinkChangePending = 1;
  return NDIS_STATUS_SUCCESS;
}

ULONG BringUpAdapter(Adapter* adapter) {
  KeInitializeSpinLock(&adapter->TxSubmitLock);
  KeInitializeSpinLock(&adapter->TxPendingLock);
  InitializeListHead(&adapter->TxPendingQueue);

  adapter->KeepAliveTicks = 0;
  adapter->TxDescriptorCount = kDefaultDescriptorCount;
  adapter->RxDescriptorCount = kDefaultDescriptorCount;
  adapter->TxQueueDepth = 1;
  adapter->RxQueueDepth = 1;
  adapter->TxIrpsAtBus = 0;
  adapter->TxPassing = 0;
  adapter->RxPassing = 0;

  BeginDeviceSequence(adapter);
  if (ConfigureUsbDevice(adapter) != kOk) return kFailed;

  // Only the success of this read matters: it shows the controller answers.
  if (ReadRegisters(adapter, kEthernetAddressLength, kRegStationAddress) != kOk) return kFailed;

  if (ReadPermanentAddress(adapter) != kOk) return kFailed;
  NdisMoveMemory(adapter->CurrentAddress, adapter->PermanentAddress, kEthernetAddressLength);

  if (ReadConfiguration(adapter) != kOk) return kFailed;
  // A configured address that cannot name one station is not used; the
  // adapter keeps its own, which is always usable.
  if (!UsableStationAddress(adapter->CurrentAddress)) {
    const UCHAR* a = adapter->CurrentAddress;
    DbgPrint(
        "usbeth: NetworkAddress %02x:%02x:%02x:%02x:%02x:%02x is a group or all-zero "
        "address and is not used\n",
        a[0], a[1], a[2], a[3], a[4], a[5]);
    NdisMoveMemory(adapter->CurrentAddress, adapter->PermanentAddress, kEthernetAddressLength);
  }
  if (adapter->RxDescriptorCount < kMinimumRxDescriptors) {
    adapter->RxDescriptorCount = kMinimumRxDescriptors;
  }
  if (adapter->TxDescriptorCount < kMinimumTxDescriptors) {
    adapter->TxDescriptorCount = kMinimumTxDescriptors;
  }
  adapter->TxQueueDepth = ClampDepth(adapter->TxQueueDepth, kMaxTxQueueDepth);
  // At least one receive descriptor stays out of the reads, so that a frame
  // can wait for its indication while reading goes on.
  adapter->RxQueueDepth = ClampDepth(adapter->RxQueueDepth, kMaxRxQueueDepth);
  if (adapter->RxQueueDepth > adapter->RxDescriptorCount - 1) {
    adapter->RxQueueDepth = adapter->RxDescriptorCount - 1;
  }

  NdisMoveMemory(adapter->RegWriteBuffer, adapter->CurrentAddress, kEthernetAddressLength);
  if (WriteRegisters(adapter, kEthernetAddressLength, kRegStationAddress) != kOk) return kFailed;

  // All ones in the hash lets every multicast address through; nothing else
  // writes these registers.
  for (ULONG i = 0; i < kMulticastHashBytes; ++i)
    adapter->RegWriteBuffer[i] = 0xFF;
  if (WriteRegisters(adapter, kMulticastHashBytes, kRegMulticastHash) != kOk) return kFailed;

  PowerUpPhys(adapter);

  if (adapter->AlivePara != 0) {
    adapter->RegWriteBuffer[0] = AliveParameterValue(adapter->AlivePara);
    adapter->RegWriteBuffer[1] = 0;
    WriteRegisters(adapter, 2, kRegAlivePara);
  }

  if (CarveDescriptors(adapter) != kOk) return kFailed;
  const ULONG pools = AllocatePools(adapter);
  if (pools != kOk) return pools;

  adapter->LinkState = kLinkUp;
  adapter->FirstStartDone = 0;
  StartController(adapter);
  adapter->FirstStartDone = 1;
  return kOk;
}

ULONG StartController(Adapter* adapter) {
  ResetController(adapter);
  SetupMedia(adapter);

  if (adapter->FirstStartDone == 0) {
    // The first start launches reception; from then on each completed read
    // starts the next.
    StoreShared(adapter->AdapterState, kStateRunning);
    StartReads(adapter);
  }

  ComputeMediaBits(adapter);
  EnableController(adapter);
  adapter->LinkChangePending = 1;
  IndicateMediaStatus(adapter);
  return kOk;
}

}  // namespace usbeth
