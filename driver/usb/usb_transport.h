// URB submission to the bus driver, synchronous and asynchronous, and access
// to the controller's byte-wide registers through vendor requests.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

// Sizes the bus sees (32-bit layouts).
constexpr USHORT kVendorUrbLength = 80;
constexpr USHORT kFeatureUrbLength = 80;
constexpr USHORT kDescriptorUrbLength = 80;
constexpr USHORT kStatusUrbLength = 80;
constexpr USHORT kBulkUrbLength = 72;
constexpr USHORT kPipeUrbLength = 24;

constexpr UCHAR kRequestReadRegisters = 0xF0;
constexpr UCHAR kRequestWriteRegisters = 0xF1;

// Pool tag of URBs and queue entries allocated per request.
constexpr ULONG kRequestPoolTag = 0x206D6457;  // "Wdm "

NTSTATUS SubmitUrbSync(Adapter* adapter, PURB urb);
ULONG ReadRegisters(Adapter* adapter, USHORT count, USHORT first_register);
ULONG WriteRegisters(Adapter* adapter, USHORT count, USHORT first_register);
NTSTATUS ReadRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register);
NTSTATUS WriteRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register,
                             PUCHAR data);
NTSTATUS NTAPI ReadRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
NTSTATUS NTAPI WriteRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

void NTAPI StepTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);
void StartStepTimer(Adapter* adapter, ULONG milliseconds);
void StartLinkPollTimer(Adapter* adapter, ULONG milliseconds);
void SleepMicroseconds(ULONG microseconds);

}  // namespace usbeth
