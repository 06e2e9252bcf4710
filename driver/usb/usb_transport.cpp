// URB submission to the USB bus driver and access to the controller's
// byte-wide registers through vendor requests 0xF0 (read) and 0xF1 (write).
//
// Synchronous requests wait at PASSIVE_LEVEL, at most 10 s, and only the
// first of a sequence that finds the device silent waits that long.
// Asynchronous register requests may start at any IRQL up to DISPATCH_LEVEL;
// their completion runs the adapter's NextStep. Only one asynchronous request is in
// flight at a time (the link chains start each from the completion of the one
// before), so one URB slot per direction and one NextStep suffice.
// RegReadBuffer and RegWriteBuffer are shared by both kinds; nothing here keeps
// two users apart, that is the callers' discipline.

#include "usb/usb_transport.h"

#include "miniport/miniport.h"

namespace usbeth {

namespace {

// Points the IRP's next stack location at the URB as an internal
// submit-URB request.
void SetSubmitUrb(PIRP irp, PURB urb) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
}

// Fills a vendor register request; `in` selects a read.
void BuildVendorRequest(PURB urb, bool in, UCHAR request, USHORT value, USHORT first_register,
                        USHORT count, PVOID buffer) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
  r->Hdr.Length = kVendorUrbLength;
  r->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  r->TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  r->TransferBufferLength = count;
  r->TransferBuffer = buffer;
  r->TransferBufferMDL = nullptr;
  r->UrbLink = nullptr;
  r->RequestTypeReservedBits = 0;
  r->Request = request;
  r->Value = value;
  r->Index = first_register;
}

// Sends one asynchronous vendor request. `urb_slot` and `irp_slot` are the
// adapter's slots for this direction; the URB comes from pool and is freed by
// the completion routine.
NTSTATUS StartAsyncRequest(Adapter* adapter, bool in, USHORT count, USHORT first_register,
                           PVOID buffer, PURB* urb_slot, PIRP* irp_slot,
                           PIO_COMPLETION_ROUTINE completion) {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kRequestPoolTag));
  if (urb == nullptr) return static_cast<NTSTATUS>(kFailed);
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  *urb_slot = urb;
  BuildVendorRequest(urb, in, in ? kRequestReadRegisters : kRequestWriteRegisters, 0,
                     first_register, count, buffer);

  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(adapter->IrpStackSize), FALSE);
  if (irp == nullptr) {
    // No completion will come for this request: the URB goes back now and
    // the slot is left empty.
    *urb_slot = nullptr;
    ExFreePool(urb);
    return static_cast<NTSTATUS>(kFailed);
  }
  SetSubmitUrb(irp, urb);
  IoSetCompletionRoutine(irp, completion, adapter, TRUE, TRUE, TRUE);

  KIRQL irql;
  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  *irp_slot = irp;
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);
  InterlockedIncrement(&adapter->AsyncRequestsOutstanding);

  return IofCallDriver(adapter->LowerDevice, irp);
}

// Common completion of an asynchronous register request: frees the URB and
// the IRP, then runs the next step of the chain.
NTSTATUS FinishAsyncRequest(Adapter* adapter, PIRP irp, PURB* urb_slot, PIRP* irp_slot) {
  PURB urb = *urb_slot;
  *urb_slot = nullptr;
  if (urb != nullptr) ExFreePool(urb);

  // A canceller holding this IRP frees it once IoCancelIrp has returned.
  KIRQL irql;
  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  if (*irp_slot == irp) *irp_slot = nullptr;
  const bool cancelling = adapter->AsyncCancelIrp == irp;
  if (cancelling) adapter->AsyncCancelFreePending = 1;
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);
  if (!cancelling) IoFreeIrp(irp);

  StepRoutine next = adapter->NextStep;
  if (next != nullptr) next(adapter);

  // Last touch of the adapter for this request: the stop path waits for the
  // count to reach zero before the adapter can go away.
  InterlockedDecrement(&adapter->AsyncRequestsOutstanding);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelSlot(Adapter* adapter, PIRP* irp_slot) {
  KIRQL irql;
  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  PIRP irp = *irp_slot;
  if (irp != nullptr) {
    adapter->AsyncCancelIrp = irp;
    adapter->AsyncCancelFreePending = 0;
  }
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);
  if (irp == nullptr) return;

  IoCancelIrp(irp);

  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  adapter->AsyncCancelIrp = nullptr;
  const bool completed = adapter->AsyncCancelFreePending != 0;
  adapter->AsyncCancelFreePending = 0;
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);
  if (completed) IoFreeIrp(irp);
}

}  // namespace

NTSTATUS SubmitUrbSync(Adapter* adapter, PURB urb) {
  // Once a request of this sequence has run out its time, the device is not
  // waited for again: each wait would cost another 10 s, and a controller
  // start makes hundreds of requests. Aborting a pipe is carried out by the
  // host controller alone and still goes down: the stop path needs it to get
  // its transfers back from a device that no longer answers.
  if (LoadShared(adapter->DeviceSilent) != 0 &&
      urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE) {
    return STATUS_IO_TIMEOUT;
  }

  KEVENT event;
  IO_STATUS_BLOCK io_status;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  RtlZeroMemory(&io_status, sizeof(io_status));

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, adapter->LowerDevice,
                                           nullptr, 0, nullptr, 0, TRUE, &event, &io_status);
  if (irp == nullptr) return static_cast<NTSTATUS>(kFailed);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

  NTSTATUS status = IofCallDriver(adapter->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kSyncRequestTimeout;
    if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      // The cancelled IRP still completes into the event and the status
      // block on this frame, and the bus driver holds the caller's URB until
      // then: wait for that before any of them goes away.
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
      if (InterlockedExchange(&adapter->DeviceSilent, 1) == 0) {
        DbgPrint(
            "usbeth: the device did not answer within 10 s; the rest of this sequence "
            "goes on without waiting for it\n");
      }
      return STATUS_IO_TIMEOUT;
    }
    status = io_status.Status;
  }

  // The bus driver's verdict on the IRP, then the device's on the request
  // (a stalled control transfer): a request either failed is not done, and
  // whatever its buffer holds is not an answer.
  if (!NT_SUCCESS(status)) return status;
  if (!USBD_SUCCESS(urb->UrbHeader.Status)) return STATUS_UNSUCCESSFUL;
  return kOk;
}

void BeginDeviceSequence(Adapter* adapter) {
  InterlockedExchange(&adapter->DeviceSilent, 0);
}

ULONG ReadRegisters(Adapter* adapter, USHORT count, USHORT first_register) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  BuildVendorRequest(&urb, true, kRequestReadRegisters, 0, first_register, count,
                     adapter->RegReadBuffer);
  if (SubmitUrbSync(adapter, &urb) != static_cast<NTSTATUS>(kOk)) return kFailed;
  // A short answer leaves older bytes in the rest of the buffer.
  return urb.UrbControlVendorClassRequest.TransferBufferLength == count ? kOk : kFailed;
}

ULONG WriteRegisters(Adapter* adapter, USHORT count, USHORT first_register) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  // A single register also travels in wValue.
  const USHORT value = count == 1 ? adapter->RegWriteBuffer[0] : 0;
  BuildVendorRequest(&urb, false, kRequestWriteRegisters, value, first_register, count,
                     adapter->RegWriteBuffer);
  return SubmitUrbSync(adapter, &urb) == static_cast<NTSTATUS>(kOk) ? kOk : kFailed;
}

NTSTATUS ReadRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register) {
  return StartAsyncRequest(adapter, true, count, first_register, adapter->RegReadBuffer,
                           &adapter->AsyncReadUrb, &adapter->AsyncReadIrp,
                           ReadRegistersAsyncComplete);
}

NTSTATUS WriteRegistersAsync(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data) {
  return StartAsyncRequest(adapter, false, count, first_register, data, &adapter->AsyncWriteUrb,
                           &adapter->AsyncWriteIrp, WriteRegistersAsyncComplete);
}

NTSTATUS NTAPI ReadRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  Adapter* adapter = static_cast<Adapter*>(context);
  return FinishAsyncRequest(adapter, irp, &adapter->AsyncReadUrb, &adapter->AsyncReadIrp);
}

NTSTATUS NTAPI WriteRegistersAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  Adapter* adapter = static_cast<Adapter*>(context);
  return FinishAsyncRequest(adapter, irp, &adapter->AsyncWriteUrb, &adapter->AsyncWriteIrp);
}

void CancelAsyncRegisterRequests(Adapter* adapter) {
  CancelSlot(adapter, &adapter->AsyncReadIrp);
  CancelSlot(adapter, &adapter->AsyncWriteIrp);
}

void CancelRequestIrp(Adapter* adapter, PIRP* irp_slot) {
  CancelSlot(adapter, irp_slot);
}

void NTAPI StepTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3) {
  UNREFERENCED_PARAMETER(SystemSpecific1);
  UNREFERENCED_PARAMETER(SystemSpecific2);
  UNREFERENCED_PARAMETER(SystemSpecific3);
  Adapter* adapter = static_cast<Adapter*>(FunctionContext);
  EnterTimerRoutine(adapter);
  StepRoutine next = adapter->NextStep;
  if (next != nullptr) next(adapter);
  LeaveTimerRoutine(adapter);
}

// Once the device is stopped no chain delay or link poll is armed again, so
// that the stop path's last timer cancellation is final.
void StartStepTimer(Adapter* adapter, ULONG milliseconds) {
  ArmAdapterTimer(adapter, &adapter->StepTimer, milliseconds);
}

void StartLinkPollTimer(Adapter* adapter, ULONG milliseconds) {
  ArmAdapterTimer(adapter, &adapter->LinkPollTimer, milliseconds);
}

void SleepMicroseconds(ULONG microseconds) {
  NdisMSleep(microseconds);
}

}  // namespace usbeth
