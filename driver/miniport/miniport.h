// NDIS-facing handlers and the adapter lifecycle: entry, initialization,
// halt, shutdown and reset.
#pragma once

#include "miniport/adapter.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace usbeth {

// Length of the NDIS 5.0 characteristics on 32-bit x86.
constexpr UINT kMiniportCharacteristicsLength = 96;

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext);
void NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
void NTAPI MiniportShutdown(PVOID ShutdownContext);
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
void NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);

ULONG BringUpAdapter(Adapter* adapter);
ULONG StartController(Adapter* adapter);
ULONG StopDevice(Adapter* adapter);

}  // namespace usbeth
