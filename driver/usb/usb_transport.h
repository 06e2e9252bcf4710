// URB submission to the bus driver, synchronous and asynchronous, and access
// to the controller's byte-wide registers through vendor requests.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

// URB lengths the bus sees in Hdr.Length: the 32-bit x86 sizes of the
// structures. Memory for a URB is always sizeof() of its structure.
constexpr USHORT kVendorUrbLength = 80;
constexpr USHORT kFeatureUrbLength = 80;
constexpr USHORT kDescriptorUrbLength = 80;
constexpr USHORT kStatusUrbLength = 80;
constexpr USHORT kBulkUrbLength = 72;
constexpr USHORT kPipeUrbLength = 24;

#if !defined(USBETH_HOST_KERNEL)
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == kVendorUrbLength, "URB size");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == kFeatureUrbLength, "URB size");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == kDescriptorUrbLength, "URB size");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == kStatusUrbLength, "URB size");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == kBulkUrbLength, "URB size");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == kPipeUrbLength, "URB size");
#endif

// Vendor requests: bmRequestType is vendor, device recipient; the direction
// comes from the transfer flags.

constexpr UCHAR kRequestReadRegisters = 0xF0;
constexpr UCHAR kRequestWriteRegisters = 0xF1;

// Pool tag of URBs and queue entries allocated per request.
constexpr ULONG kRequestPoolTag = 0x206D6457;  // "Wdm "

// Limit of a synchronous request: 10 s, relative, in 100 ns units.
constexpr LONGLONG kSyncRequestTimeout = -100000000LL;

// Sends the URB and waits for it, at most 10 s. kOk when the IRP and the URB
// both completed with success; otherwise the failure: the IRP's status, or
// STATUS_UNSUCCESSFUL for an IRP that succeeded with a failed URB. A request
// that ran out its time is cancelled and yields STATUS_IO_TIMEOUT, and from
// then on, until the next BeginDeviceSequence, every request but a pipe abort
// fails at once with STATUS_IO_TIMEOUT without reaching the device.
NTSTATUS SubmitUrbSync(Adapter* adapter, PURB urb);
// Starts a sequence of synchronous requests (bring-up, reset, stop): the
// device is given its full time limit again.
void BeginDeviceSequence(Adapter* adapter);
// True once a request of the current sequence ran out its time: polling the
// device for a bit is pointless until the next sequence.
inline bool DeviceStoppedAnswering(Adapter* adapter) {
  return LoadShared(adapter->DeviceSilent) != 0;
}
// A register read succeeds only when every byte asked for arrived.
ULONG ReadRegisters(Adapter* adapter, USHORT count, USHORT first_register);
ULONG WriteRegisters(Adapter* adapter, USHORT count, USHORT first_register);
NTSTATUS ReadRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register);
NTSTATUS WriteRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data);
NTSTATUS NTAPI ReadRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
NTSTATUS NTAPI WriteRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

void NTAPI StepTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);
void StartStepTimer(Adapter* adapter, ULONG milliseconds);
void StartLinkPollTimer(Adapter* adapter, ULONG milliseconds);
void SleepMicroseconds(ULONG microseconds);

// Cancels the asynchronous register requests still in flight; their
// completion routines run as usual. Used by the stop path for a request the
// device never answers.
void CancelAsyncRegisterRequests(Adapter* adapter);
// Cancels the request IRP held in `irp_slot` (under AsyncIrpLock). Its
// completion routine must clear the slot under that lock and leave the free
// to the canceller while AsyncCancelIrp names it, as the register requests'
// completion does.
void CancelRequestIrp(Adapter* adapter, PIRP* irp_slot);

}  // namespace usbeth
