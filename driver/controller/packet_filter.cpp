// The packet filter: receive-control registers 0x00..0x02 from the FilterMode
// that the set handler derives from the NDIS packet filter.
//
// NDIS may call the set handler at DISPATCH_LEVEL, where nothing may wait, and
// concurrently with a link chain that owns RegWriteBuffer, NextStep and the
// async URB slots. So the register write goes out as an asynchronous vendor
// request with a URB, an IRP and a data buffer that belong to the filter
// alone. One filter write is in flight at a time (FilterWriteBusy); a set that
// arrives meanwhile only marks the shadows dirty (FilterWriteDirty), and the
// completion then sends one more write with the latest values. Busy and Dirty
// change only through interlocked operations, so two processors never both
// start a write and no set is lost.
//
// A write that fails, or that the stop path or a reset cancels because the
// device never answered it, leaves the shadows dirty: the next set, or the
// restore after a reset, sends them again.
#include "controller/controller.h"

#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr USHORT kFilterRegisterCount = 3;

// Claims the filter write for this caller; false when one is in flight.
bool ClaimFilterWrite(Adapter* adapter) {
  return InterlockedCompareExchange(&adapter->FilterWriteBusy, 1, 0) == 0;
}

// Sends registers 0x00..0x02 from the current shadows. The caller holds the
// claim; when the request cannot be started the claim is released and the
// shadows stay dirty, so the next set writes them.
void StartFilterWrite(Adapter* adapter) {
  InterlockedExchange(&adapter->FilterWriteDirty, 0);
  adapter->FilterWriteBuffer[0] = adapter->RxControl0;
  adapter->FilterWriteBuffer[1] = adapter->RxControl1;
  adapter->FilterWriteBuffer[2] = adapter->FilterControl2;

  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kRequestPoolTag));
  if (urb == NULL) {
    InterlockedExchange(&adapter->FilterWriteDirty, 1);
    InterlockedExchange(&adapter->FilterWriteBusy, 0);
    return;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
  request->Hdr.Length = kVendorUrbLength;
  request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
  request->TransferBufferLength = kFilterRegisterCount;
  request->TransferBuffer = adapter->FilterWriteBuffer;
  request->TransferBufferMDL = NULL;
  request->UrbLink = NULL;
  request->RequestTypeReservedBits = 0;
  request->Request = kRequestWriteRegisters;
  request->Value = 0;
  request->Index = kRegRxControl0;

  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(adapter->IrpStackSize), FALSE);
  if (irp == NULL) {
    ExFreePool(urb);
    InterlockedExchange(&adapter->FilterWriteDirty, 1);
    InterlockedExchange(&adapter->FilterWriteBusy, 0);
    return;
  }
  adapter->FilterWriteUrb = urb;
  KIRQL irql;
  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  adapter->FilterWriteIrp = irp;
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, PacketFilterWriteComplete, adapter, TRUE, TRUE, TRUE);
  IofCallDriver(adapter->LowerDevice, irp);
}

}  // namespace

ULONG ApplyPacketFilter(Adapter* adapter, UCHAR filter_mode) {
  // The shadows change first; the write carries whatever they hold when it
  // starts. NDIS hands the miniport one set request at a time.
  if ((filter_mode & kFilterAllMulticast) != 0) {
    adapter->RxControl0 |= kRxControl0AllMulticast;
  } else {
    adapter->RxControl0 &= static_cast<UCHAR>(~kRxControl0AllMulticast);
  }
  adapter->FilterControl2 =
      static_cast<UCHAR>((filter_mode & kFilterPromiscuous) | kRxControl2Broadcast);

  // Mark dirty before trying to claim: a completion that releases the claim
  // after our failed attempt sees the mark and writes for us.
  InterlockedExchange(&adapter->FilterWriteDirty, 1);
  if (ClaimFilterWrite(adapter)) StartFilterWrite(adapter);
  return kOk;
}

NTSTATUS NTAPI PacketFilterWriteComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  Adapter* adapter = static_cast<Adapter*>(context);
  PURB urb = adapter->FilterWriteUrb;
  adapter->FilterWriteUrb = NULL;
  ExFreePool(urb);
  const bool written = NT_SUCCESS(irp->IoStatus.Status);

  // A canceller holding this IRP frees it once IoCancelIrp has returned.
  KIRQL irql;
  KeAcquireSpinLock(&adapter->AsyncIrpLock, &irql);
  if (adapter->FilterWriteIrp == irp) adapter->FilterWriteIrp = NULL;
  const bool cancelling = adapter->AsyncCancelIrp == irp;
  if (cancelling) adapter->AsyncCancelFreePending = 1;
  KeReleaseSpinLock(&adapter->AsyncIrpLock, irql);
  if (!cancelling) IoFreeIrp(irp);

  // The device does not hold these values: whoever sets or restores the
  // filter next writes them again. Not at once, so that a device refusing
  // the write is not asked again and again from here.
  if (!written) {
    InterlockedExchange(&adapter->FilterWriteDirty, 1);
    InterlockedExchange(&adapter->FilterWriteBusy, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // A set that came in while this write was in flight: keep the claim and
  // send the latest shadows, unless the adapter is stopping. Otherwise
  // release, and look once more for a set that marked the shadows between
  // the test and the release.
  const bool stopped = LoadShared(adapter->AdapterState) == kStateStopped;
  if (!stopped && InterlockedCompareExchange(&adapter->FilterWriteDirty, 0, 0) != 0) {
    StartFilterWrite(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  InterlockedExchange(&adapter->FilterWriteBusy, 0);
  if (!stopped && InterlockedCompareExchange(&adapter->FilterWriteDirty, 0, 0) != 0 &&
      ClaimFilterWrite(adapter)) {
    StartFilterWrite(adapter);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG RestorePacketFilter(Adapter* adapter, UCHAR all_multicast) {
  adapter->RxControl0 |= static_cast<UCHAR>(all_multicast & kRxControl0AllMulticast);
  InterlockedExchange(&adapter->FilterWriteDirty, 1);
  if (ClaimFilterWrite(adapter)) StartFilterWrite(adapter);
  return kOk;
}

void CancelPacketFilterWrite(Adapter* adapter) {
  CancelRequestIrp(adapter, &adapter->FilterWriteIrp);
}

ULONG WaitPacketFilterIdle(Adapter* adapter, ULONG rounds) {
  for (ULONG round = 0; round < rounds; ++round) {
    if (InterlockedCompareExchange(&adapter->FilterWriteBusy, 0, 0) == 0) return kOk;
    SleepMicroseconds(1000);
  }
  return InterlockedCompareExchange(&adapter->FilterWriteBusy, 0, 0) == 0 ? kOk : kFailed;
}

}  // namespace usbeth
