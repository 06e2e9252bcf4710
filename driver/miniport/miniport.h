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

BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext);

ULONG BringUpAdapter(Adapter* adapter);
ULONG StartController(Adapter* adapter);
ULONG StopDevice(Adapter* adapter);

// Arms one of the adapter's timers unless the adapter is stopped; false when
// it was not armed.
bool ArmAdapterTimer(Adapter* adapter, PNDIS_MINIPORT_TIMER timer, ULONG milliseconds);
// Every timer routine of the adapter brackets its work with these, so that
// the stop path can wait until none runs.
void EnterTimerRoutine(Adapter* adapter);
void LeaveTimerRoutine(Adapter* adapter);
// True when no timer arming is in progress and no timer routine runs.
bool TimersQuiet(Adapter* adapter);

}  // namespace usbeth
