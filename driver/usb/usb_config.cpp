// USB device configuration: the device objects, the descriptors, the select-
// configuration request with its three pipes, and the pipe abort and reset of
// the stop sequence. Everything here is synchronous and runs at
// PASSIVE_LEVEL.
//
// Descriptors come from the device and are not trusted: the configuration is
// checked and clamped to the bytes actually read before anything parses it,
// and the interface information built from it must agree with its own pipe
// count before it is used or copied.

#include "usb/usb_config.h"

#include "datapath/datapath.h"
#include "miniport/tracker.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr ULONG kConfigurationHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr ULONG kInterfaceDescriptorSize = sizeof(USB_INTERFACE_DESCRIPTOR);
constexpr ULONG kEndpointDescriptorSize = sizeof(USB_ENDPOINT_DESCRIPTOR);

void BuildDescriptorRequest(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* r = &urb->UrbControlDescriptorRequest;
  r->Hdr.Length = kDescriptorUrbLength;
  r->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r->TransferBufferLength = length;
  r->TransferBuffer = buffer;
  r->TransferBufferMDL = nullptr;
  r->DescriptorType = type;
  r->Index = 0;
  r->LanguageId = 0;
  r->UrbLink = nullptr;
}

void PrintBulkPipes(PUSBD_INTERFACE_INFORMATION info) {
  DbgPrint("Pipes[0].MaximumTransferSize = %d\n",
           static_cast<int>(info->Pipes[kPipeIndexBulkIn].MaximumTransferSize));
  DbgPrint("Pipes[0].PipeFlags = %d\n", static_cast<int>(info->Pipes[kPipeIndexBulkIn].PipeFlags));
  DbgPrint("Pipes[1].MaximumTransferSize = %d\n",
           static_cast<int>(info->Pipes[kPipeIndexBulkOut].MaximumTransferSize));
  DbgPrint("Pipes[1].PipeFlags = %d\n", static_cast<int>(info->Pipes[kPipeIndexBulkOut].PipeFlags));
}

// The interface information must describe exactly the three pipes and be as
// long as three pipes make it, so that it can be read and copied in full.
bool InterfaceInformationSound(PUSBD_INTERFACE_INFORMATION info) {
  return info != nullptr && info->NumberOfPipes == kPipeCount &&
         info->Length == InterfaceInformationLength(kPipeCount);
}

// The bulk pipes must point the way the data path uses them and carry
// packets: a read on an OUT endpoint, or a pipe whose packets hold nothing,
// would leave initialization succeeding with a dead data path. The transmit
// path ends a transfer with a zero-length packet when its length is a
// multiple of kBulkPacketSize, which terminates every transfer only when the
// bulk-out packet size is a multiple of it (64 at full speed, 512 at high).
bool BulkPipesUsable(PUSBD_INTERFACE_INFORMATION info) {
  const USBD_PIPE_INFORMATION& in = info->Pipes[kPipeIndexBulkIn];
  const USBD_PIPE_INFORMATION& out = info->Pipes[kPipeIndexBulkOut];
  if (!USB_ENDPOINT_DIRECTION_IN(in.EndpointAddress)) return false;
  if (!USB_ENDPOINT_DIRECTION_OUT(out.EndpointAddress)) return false;
  if (in.MaximumPacketSize == 0 || out.MaximumPacketSize == 0) return false;
  return out.MaximumPacketSize % kBulkPacketSize == 0;
}

// Selects the configuration with the first interface and keeps a copy of the
// interface information. `config` has been validated and clamped.
ULONG SelectConfiguration(Adapter* adapter, PUSB_CONFIGURATION_DESCRIPTOR config,
                          PUSB_INTERFACE_DESCRIPTOR interface_descriptor) {
  USBD_INTERFACE_LIST_ENTRY interfaces[2];
  interfaces[0].InterfaceDescriptor = interface_descriptor;
  interfaces[0].Interface = nullptr;
  interfaces[1].InterfaceDescriptor = nullptr;
  interfaces[1].Interface = nullptr;

  PURB request = USBD_CreateConfigurationRequestEx(config, interfaces);
  if (request == nullptr) return kFailed;

  PUSBD_INTERFACE_INFORMATION info = interfaces[0].Interface;
  if (!InterfaceInformationSound(info)) {
    ExFreePool(request);
    return kFailed;
  }

  PrintBulkPipes(info);
  for (ULONG pipe = kPipeIndexBulkIn; pipe <= kPipeIndexBulkOut; ++pipe) {
    info->Pipes[pipe].MaximumTransferSize = kBulkTransferSize;
    info->Pipes[pipe].PipeFlags = 0;
  }
  PrintBulkPipes(info);

  request->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  request->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(
      kSelectConfigurationBaseLength + kSelectConfigurationPipeLength * info->NumberOfPipes);
  request->UrbSelectConfiguration.ConfigurationDescriptor = config;
  if (SubmitUrbSync(adapter, request) != static_cast<NTSTATUS>(kOk)) {
    ExFreePool(request);
    return kFailed;
  }

  // Pipes are taken by position: bulk, bulk, interrupt.
  if (!InterfaceInformationSound(info) ||
      info->Pipes[kPipeIndexBulkIn].PipeType != UsbdPipeTypeBulk ||
      info->Pipes[kPipeIndexBulkOut].PipeType != UsbdPipeTypeBulk ||
      info->Pipes[kPipeIndexInterrupt].PipeType != UsbdPipeTypeInterrupt ||
      !BulkPipesUsable(info)) {
    ExFreePool(request);
    return kFailed;
  }

  PVOID copy = nullptr;
  if (AllocateTracked(adapter, &copy, info->Length) != kOk) {
    ExFreePool(request);
    return kFailed;
  }
  RtlCopyMemory(copy, info, info->Length);
  adapter->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(copy);
  ExFreePool(request);
  return kOk;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR ValidateConfigurationDescriptor(PUCHAR buffer, ULONG available) {
  if (buffer == nullptr || available < kConfigurationHeaderSize) return nullptr;
  PUSB_CONFIGURATION_DESCRIPTOR config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
  if (config->bLength < kConfigurationHeaderSize ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return nullptr;
  }
  // Selecting configuration value 0 would put the device back into its
  // unconfigured state, with every bulk endpoint refusing transfers.
  if (config->bConfigurationValue == 0) return nullptr;

  // Work only within the bytes read. When the device announced more than
  // that, the descriptor cut at the end of the buffer is dropped; a chain that
  // runs past the device's own total is a lie and is refused.
  const bool clamped = config->wTotalLength > available;
  ULONG total = clamped ? available : config->wTotalLength;
  if (total < config->bLength) return nullptr;

  PUSB_INTERFACE_DESCRIPTOR first = nullptr;
  bool in_first = false;
  ULONG endpoints = 0;
  ULONG offset = 0;
  while (offset < total) {
    const ULONG left = total - offset;
    if (left < 2) {
      if (!clamped) return nullptr;
      total = offset;
      break;
    }
    const UCHAR length = buffer[offset];
    const UCHAR type = buffer[offset + 1];
    if (length < 2) return nullptr;
    if (length > left) {
      if (!clamped) return nullptr;
      total = offset;
      break;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (length < kInterfaceDescriptorSize) return nullptr;
      if (first == nullptr) {
        first = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer + offset);
        in_first = true;
      } else {
        in_first = false;
      }
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (length < kEndpointDescriptorSize) return nullptr;
      if (in_first) ++endpoints;
    }
    offset += length;
  }

  if (first == nullptr || endpoints < first->bNumEndpoints) return nullptr;
  config->wTotalLength = static_cast<USHORT>(total);
  return first;
}

ULONG ConfigureUsbDevice(Adapter* adapter) {
  NdisMGetDeviceProperty(adapter->MiniportAdapterHandle, &adapter->PhysicalDeviceObject,
                         &adapter->FunctionalDeviceObject, &adapter->LowerDevice, nullptr, nullptr);
  if (adapter->LowerDevice == nullptr) return kFailed;
  adapter->IrpStackSize = static_cast<UCHAR>(adapter->LowerDevice->StackSize + 1);

  URB urb;
  BuildDescriptorRequest(&urb, USB_DEVICE_DESCRIPTOR_TYPE, adapter->DeviceDescriptor,
                         kDeviceDescriptorSize);
  if (SubmitUrbSync(adapter, &urb) != static_cast<NTSTATUS>(kOk)) return kFailed;

  PVOID buffer = nullptr;
  if (AllocateTracked(adapter, &buffer, kConfigurationBufferSize) != kOk) return kFailed;
  adapter->ConfigurationDescriptor = static_cast<PUCHAR>(buffer);

  // One request of the whole buffer; wTotalLength is not asked for first.
  BuildDescriptorRequest(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, kConfigurationBufferSize);
  if (SubmitUrbSync(adapter, &urb) != static_cast<NTSTATUS>(kOk)) return kFailed;
  ULONG received = urb.UrbControlDescriptorRequest.TransferBufferLength;
  if (received > kConfigurationBufferSize) received = kConfigurationBufferSize;

  // The buffer came back full and the device announces more: read it again
  // whole, into a tracked buffer of the announced length (bounded).
  const PUSB_CONFIGURATION_DESCRIPTOR first_read =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(adapter->ConfigurationDescriptor);
  if (received == kConfigurationBufferSize && first_read->wTotalLength > received) {
    ULONG length = first_read->wTotalLength;
    if (length > kConfigurationMaxSize) length = kConfigurationMaxSize;
    PVOID whole = nullptr;
    if (AllocateTracked(adapter, &whole, length) != kOk) return kFailed;
    adapter->ConfigurationDescriptor = static_cast<PUCHAR>(whole);
    BuildDescriptorRequest(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole, length);
    if (SubmitUrbSync(adapter, &urb) != static_cast<NTSTATUS>(kOk)) return kFailed;
    received = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (received > length) received = length;
  }

  PUSB_INTERFACE_DESCRIPTOR checked =
      ValidateConfigurationDescriptor(adapter->ConfigurationDescriptor, received);
  if (checked == nullptr) return kFailed;

  PUSB_CONFIGURATION_DESCRIPTOR config =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(adapter->ConfigurationDescriptor);
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  if (found == nullptr || found != checked) return kFailed;

  if (SelectConfiguration(adapter, config, found) != kOk) return kFailed;

  // The adapter must not wake the system on its own.
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  urb.UrbControlFeatureRequest.Hdr.Length = kFeatureUrbLength;
  urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
  urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
  urb.UrbControlFeatureRequest.Index = 0;
  urb.UrbControlFeatureRequest.UrbLink = nullptr;
  // A device without the feature may refuse to clear it; that leaves it as
  // wanted. One that does not answer at all fails the request below.
  SubmitUrbSync(adapter, &urb);

  // The two status bytes are not examined; the next register read
  // overwrites them.
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
  urb.UrbControlGetStatusRequest.Hdr.Length = kStatusUrbLength;
  urb.UrbControlGetStatusRequest.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
  urb.UrbControlGetStatusRequest.TransferBufferLength = 2;
  urb.UrbControlGetStatusRequest.TransferBuffer = adapter->RegReadBuffer;
  urb.UrbControlGetStatusRequest.TransferBufferMDL = nullptr;
  urb.UrbControlGetStatusRequest.Index = 0;
  urb.UrbControlGetStatusRequest.UrbLink = nullptr;
  return SubmitUrbSync(adapter, &urb) == static_cast<NTSTATUS>(kOk) ? kOk : kFailed;
}

ULONG AbortAndResetPipes(Adapter* adapter) {
  if (adapter->InterfaceInfo == nullptr) return kFailed;
  PURB urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), kRequestPoolTag));
  if (urb == nullptr) return kFailed;

  struct PipeStep {
    USHORT function;
    ULONG pipe;
    bool settle;  // wait 10 ms afterwards
  };
  // The bulk-out pipe first, then the bulk-in pipe; the interrupt pipe is
  // never used and is left alone.
  const PipeStep steps[] = {
      {URB_FUNCTION_ABORT_PIPE, kPipeIndexBulkOut, true},
      {URB_FUNCTION_RESET_PIPE, kPipeIndexBulkOut, false},
      {URB_FUNCTION_ABORT_PIPE, kPipeIndexBulkIn, true},
      {URB_FUNCTION_RESET_PIPE, kPipeIndexBulkIn, false},
  };
  ULONG result = kOk;
  for (const PipeStep& step : steps) {
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbPipeRequest.Hdr.Length = kPipeUrbLength;
    urb->UrbPipeRequest.Hdr.Function = step.function;
    urb->UrbPipeRequest.PipeHandle = adapter->InterfaceInfo->Pipes[step.pipe].PipeHandle;
    // Every step is tried even after one failed: a reset the device leaves
    // unanswered must not keep the other pipe's transfers outstanding, or
    // the stop would wait for them for ever.
    if (SubmitUrbSync(adapter, urb) != static_cast<NTSTATUS>(kOk)) result = kFailed;
    if (step.settle) SleepMicroseconds(10000);
  }
  ExFreePool(urb);
  return result;
}

}  // namespace usbeth
