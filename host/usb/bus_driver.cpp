#include "usb/bus_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "nt/io.h"
#include "nt/pool.h"
#include "usb/descriptor_extents.h"
#include "usb/descriptor_parse.h"
#include "usb/urb_layout.h"

namespace host::usb {

namespace {

constexpr Nanoseconds kFullSpeedFrame = kMillisecond;
constexpr Nanoseconds kHighSpeedMicroframe = 125 * kMicrosecond;
constexpr unsigned kFullSpeedPacketsPerFrame = 19;
constexpr unsigned kHighSpeedPacketsPerMicroframe = 13;
constexpr unsigned kMaxPipes = 32;

std::string hex(uint64_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

int32_t usbmon_status(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return 0;
    case USBD_STATUS_CANCELED:
      return kUsbmonUnlinked;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
      return kUsbmonStall;
    case USBD_STATUS_DEVICE_GONE:
      return kUsbmonNoDevice;
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
      return kUsbmonShort;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BABBLE_DETECTED:
      return kUsbmonOverflow;
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return kUsbmonTimeout;
    case USBD_STATUS_INVALID_PARAMETER:
      return kUsbmonInvalid;
    default:
      return kUsbmonProtocol;
  }
}

}  // namespace

// ---- Records ----------------------------------------------------------------------

struct BusDriver::Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint8_t address = 0;
  uint16_t max_packet = 0;
  uint8_t interval = 0;
  uint32_t max_transfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  unsigned index = 0;  // position in its interface, for the per-pipe counters
  // Transfers in submission order: first those that have ended (each reported
  // at the boundary that ends the (micro)frame it ended in), then those still
  // to run.
  TransferQueue queue;
  // A transfer on it ended in error: nothing more runs on it until a pipe
  // reset clears this.
  bool halted = false;
  bool in() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct BusDriver::Transfer {
  enum class Kind { Control, SelectConfiguration, ResetPipe, Bulk, Done };
  Kind kind = Kind::Control;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  uint16_t function = 0;
  Pipe* pipe = nullptr;  // bulk and reset
  hw::SetupPacket setup;
  bool in = false;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  uint32_t moved = 0;
  bool short_ok = false;
  // Ended, and in which (micro)frame (numbered by its start): it completes at
  // the boundary that ends that (micro)frame. A control request ends once
  // the frame budget has paid for all of its transactions.
  bool done() const { return finished && slots_owed == 0; }
  uint64_t done_frame = 0;
  bool hung = false;         // UrbFault::Stall: waits for cancel or abort
  bool fail_at_bus = false;  // UrbFault::CompleteWithError
  USBD_STATUS fail_usbd = USBD_STATUS_DEV_NOT_RESPONDING;  // how fail_at_bus ends it
  bool at_once = false;                                    // RequestFault::AtOnce
  Nanoseconds not_before = 0;                              // UrbFault::Late
  bool configuration_descriptor = false;                   // a GET_DESCRIPTOR(configuration) read
  bool before_return = false;
  // Control: carried out on the device (its result kept), and the packets of
  // the frame budget its transactions still need.
  bool carried = false;
  uint32_t slots_owed = 0;
  // NAKed at its last poll, at this device generation, at this time.
  bool naked = false;
  uint64_t nak_generation = 0;
  Nanoseconds nak_at = 0;
  Nanoseconds nak_until = 0;  // what the device said of it after (0: nothing)
  uint64_t capture_id = 0;    // the URB's identity in the capture
  // Select configuration: the interfaces to fill and the pipes they get.
  struct InterfacePlan {
    PUSBD_INTERFACE_INFORMATION info;
    ParsedInterface parsed;
  };
  std::vector<InterfacePlan> interfaces;
  uint8_t configuration_value = 0;
  // Where it goes on the bus (kept apart from the pipe, which a new
  // configuration may remove before the transfer completes).
  uint8_t endpoint = 0;
  uint8_t usbmon_type = kUsbmonControl;
  uint8_t interval = 0;
  // Result.
  USBD_STATUS usbd = USBD_STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  bool finished = false;
};

// ---- Construction -----------------------------------------------------------------

BusDriver::BusDriver(hw::UsbDevice& device, const BusOptions& options)
    : device_(device), options_(options), speed_(device.speed()) {
  period_ = speed_ == hw::BusSpeed::High ? kHighSpeedMicroframe : kFullSpeedFrame;
  packets_per_frame_ =
      speed_ == hw::BusSpeed::High ? kHighSpeedPacketsPerMicroframe : kFullSpeedPacketsPerFrame;
  driver_object_ = host::create_driver_object("\\Driver\\usbhub");
  driver_object_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &dispatch_internal_control;
  device_object_ = host::create_device_object(driver_object_, options_.stack_size, sizeof(void*));
  *static_cast<BusDriver**>(device_object_->DeviceExtension) = this;
  device_.set_change_hook([this] { on_device_change(); });
}

BusDriver::~BusDriver() {
  device_.set_change_hook(nullptr);
  {
    std::lock_guard<host::HostMutex> lock(tick_mutex_);
    Kernel* k = Kernel::current();
    if (tick_timer_ != 0 && k != nullptr && &k->scheduler() == tick_scheduler_) {
      tick_scheduler_->destroy_timer(tick_timer_);
      tick_scheduler_->destroy_timer(revisit_timer_);
    }
    tick_timer_ = 0;
    revisit_timer_ = 0;
  }
  size_t abandoned = 0;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    abandoned = control_queue_.size() + cancelling_.size();
    for (auto& p : pipes_)
      abandoned += p->queue.size();
  }
  if (abandoned != 0) {
    // Completing them now would call into a driver that is being torn down;
    // the kernel's leak check names the IRPs.
    std::fprintf(stderr, "usb bus: removed with %zu request(s) still pending\n", abandoned);
  }
  for (auto& [start, length] : noted_descriptors_)
    forget_descriptor_bytes(start, length);
  stop_capture();
  host::delete_device_object(device_object_);
  host::delete_driver_object(driver_object_);
}

Nanoseconds BusDriver::now() const {
  return Kernel::get().scheduler().now();
}

void BusDriver::set_surprise_removed(bool removed) {
  TransferList out;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    removed_ = removed;
    if (!removed) return;
    cancel_all_locked(control_queue_, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, out);
    for (auto& p : pipes_) {
      cancel_all_locked(p->queue, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, out);
    }
  }
  complete_later(std::move(out));
}

bool BusDriver::surprise_removed() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return removed_;
}

bool BusDriver::start_capture(const std::string& path, std::string* error) {
  auto capture = UsbmonCapture::open(path, error);
  if (!capture) return false;
  std::lock_guard<host::HostMutex> lock(capture_mutex_);
  capture_ = std::move(capture);
  return true;
}

void BusDriver::stop_capture() {
  std::lock_guard<host::HostMutex> lock(capture_mutex_);
  capture_.reset();
}

size_t BusDriver::pending_irps() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  size_t n = control_queue_.size() + cancelling_.size();
  for (auto& p : pipes_)
    n += p->queue.size();
  return n;
}

BusStats BusDriver::stats() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return stats_;
}

// ---- Dispatch ---------------------------------------------------------------------

NTSTATUS NTAPI BusDriver::dispatch_internal_control(PDEVICE_OBJECT device, PIRP irp) {
  BusDriver* bus = *static_cast<BusDriver**>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  return bus->submit_urb(irp, urb);
}

NTSTATUS BusDriver::fail_at_once(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    ++stats_.failed_at_once;
  }
  urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusDriver::bad_urb(PIRP irp, PURB urb, const std::string& what) {
  if (options_.bad_urb == BadUrbAction::BugCheck) {
    bug_check("USB_BAD_URB_LENGTH", "URB " + hex(reinterpret_cast<uintptr_t>(urb)) + " (function " +
                                        hex(urb->UrbHeader.Function) + "): " + what);
  }
  return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
}

BusDriver::Pipe* BusDriver::find_pipe_locked(USBD_PIPE_HANDLE handle) {
  for (auto& p : pipes_) {
    if (p->handle == handle) return p.get();
  }
  return nullptr;
}

NTSTATUS BusDriver::submit_urb(PIRP irp, PURB urb) {
  const uint16_t function = urb->UrbHeader.Function;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    if (function < std::size(counters().urbs_by_function)) ++counters().urbs_by_function[function];
    ++stats_.urbs;
  }
  if (surprise_removed()) {
    return fail_at_once(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }

  const uint16_t want = x86_urb_length(function);
  if (want != 0 && urb->UrbHeader.Length != want) {
    return bad_urb(irp, urb,
                   "Hdr.Length " + std::to_string(urb->UrbHeader.Length) + ", the request takes " +
                       std::to_string(want));
  }

  UrbFault fault = faults().urb_fault(function);
  if (fault == UrbFault::None && function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    fault = faults().bulk_fault(
        (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0);
  }
  if (fault == UrbFault::None && faults().should_fail(FaultSite::UrbSubmission)) {
    fault = UrbFault::FailImmediately;
  }
  if (fault == UrbFault::FailImmediately) {
    return fail_at_once(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }

  auto t = std::make_unique<Transfer>();
  t->irp = irp;
  t->urb = urb;
  t->function = function;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;

  // A control request's data stage: its buffer, length and direction.
  auto control_stage = [&](PVOID buffer, PMDL mdl, ULONG length, bool in) -> bool {
    if (length > 0xFFFF || (length != 0 && buffer == nullptr)) return false;
    (void)mdl;  // the host passes data by address only; an MDL alone is refused above
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = length;
    t->in = in;
    t->setup.wLength = static_cast<uint16_t>(length);
    return true;
  };

  switch (function) {
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(now() / kMillisecond);
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;

    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& r = urb->UrbControlDescriptorRequest;
      if (!control_stage(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, true)) {
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
      t->setup.bmRequestType = 0x80;
      t->setup.bRequest = USB_REQUEST_GET_DESCRIPTOR;
      t->setup.wValue = static_cast<uint16_t>(r.DescriptorType << 8 | r.Index);
      t->setup.wIndex = r.LanguageId;
      t->configuration_descriptor = r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
      t->short_ok = true;
      break;
    }

    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      auto& r = urb->UrbControlFeatureRequest;
      bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
      uint8_t recipient =
          static_cast<uint8_t>((function - (set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                                : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE)));
      t->setup.bmRequestType = recipient;
      t->setup.bRequest = set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
      t->setup.wValue = r.FeatureSelector;
      t->setup.wIndex = r.Index;
      break;
    }

    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      auto& r = urb->UrbControlGetStatusRequest;
      if (r.TransferBufferLength != 2 ||
          !control_stage(r.TransferBuffer, r.TransferBufferMDL, 2, true)) {
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
      t->setup.bmRequestType =
          static_cast<uint8_t>(0x80 | (function - URB_FUNCTION_GET_STATUS_FROM_DEVICE));
      t->setup.bRequest = USB_REQUEST_GET_STATUS;
      t->setup.wIndex = r.Index;
      t->short_ok = true;
      break;
    }

    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: {
      auto& r = urb->UrbControlVendorClassRequest;
      bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      if (!control_stage(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, in)) {
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
      bool vendor = function <= URB_FUNCTION_VENDOR_ENDPOINT;
      uint8_t recipient = static_cast<uint8_t>(
          function - (vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE));
      t->setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | (vendor ? 0x40 : 0x20) |
                                                    recipient | r.RequestTypeReservedBits);
      t->setup.bRequest = r.Request;
      t->setup.wValue = r.Value;
      t->setup.wIndex = r.Index;
      t->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      break;
    }

    case URB_FUNCTION_SELECT_CONFIGURATION: {
      NTSTATUS s = prepare_select_configuration(irp, urb, *t);
      if (s != STATUS_PENDING) return s;
      break;
    }

    case URB_FUNCTION_ABORT_PIPE:
      return abort_pipe(irp, urb);

    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      std::unique_lock<host::HostMutex> lock(mutex_);
      Pipe* pipe = find_pipe_locked(urb->UrbPipeRequest.PipeHandle);
      if (pipe == nullptr) {
        lock.unlock();
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      }
      if (!pipe->queue.empty()) {
        // Transfers still queued on the pipe must be aborted before it is reset.
        lock.unlock();
        return fail_at_once(irp, urb, USBD_STATUS_ERROR_BUSY, STATUS_UNSUCCESSFUL);
      }
      // On the wire: CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
      t->kind = Transfer::Kind::ResetPipe;
      t->pipe = pipe;
      t->setup.bmRequestType = 0x02;
      t->setup.bRequest = USB_REQUEST_CLEAR_FEATURE;
      t->setup.wValue = USB_FEATURE_ENDPOINT_STALL;
      t->setup.wIndex = pipe->address;
      break;
    }

    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      std::unique_lock<host::HostMutex> lock(mutex_);
      Pipe* pipe = find_pipe_locked(r.PipeHandle);
      if (pipe == nullptr) {
        lock.unlock();
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      }
      if ((r.TransferBufferLength != 0 && r.TransferBuffer == nullptr) ||
          (pipe->max_transfer != USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE &&
           r.TransferBufferLength > pipe->max_transfer) ||
          pipe->type == UsbdPipeTypeControl || pipe->type == UsbdPipeTypeIsochronous) {
        lock.unlock();
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
      if (pipe->max_packet == 0) {
        lock.unlock();
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
      t->kind = Transfer::Kind::Bulk;
      t->pipe = pipe;
      t->endpoint = pipe->address;
      t->usbmon_type = pipe->type == UsbdPipeTypeInterrupt ? kUsbmonInterrupt : kUsbmonBulk;
      t->interval = pipe->type == UsbdPipeTypeInterrupt ? pipe->interval : 0;
      t->in = pipe->in();  // the endpoint decides the direction, as on the real bus
      t->buffer = static_cast<uint8_t*>(r.TransferBuffer);
      t->length = r.TransferBufferLength;
      t->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      break;
    }

    default:
      return fail_at_once(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }

  return accept(std::move(t), fault);
}

NTSTATUS BusDriver::prepare_select_configuration(PIRP irp, PURB urb, Transfer& t) {
  auto& r = urb->UrbSelectConfiguration;
  const uint32_t declared = r.Hdr.Length;
  t.kind = Transfer::Kind::SelectConfiguration;
  t.setup.bmRequestType = 0x00;
  t.setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
  if (r.ConfigurationDescriptor == nullptr) {
    // Unconfigure: SET_CONFIGURATION(0); every pipe goes.
    if (declared < kX86SelectConfigurationFixed) {
      return bad_urb(irp, urb,
                     "Hdr.Length " + std::to_string(declared) +
                         " is shorter than a select-configuration request");
    }
    return STATUS_PENDING;
  }
  const USB_CONFIGURATION_DESCRIPTOR* cd = r.ConfigurationDescriptor;
  if (usable_configuration_length(cd) == 0) {
    return fail_at_once(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
                        STATUS_INVALID_PARAMETER);
  }

  // Walk the interface informations as far as Hdr.Length declares them; each
  // one's Length must agree with its NumberOfPipes.
  // A request in pool memory also bounds the walk by its block.
  size_t block = 0;
  const UCHAR* limit = nullptr;
  if (pool_block_info(urb, &block, nullptr)) limit = reinterpret_cast<const UCHAR*>(urb) + block;
  uint32_t used = kX86SelectConfigurationFixed;
  UCHAR* at = reinterpret_cast<UCHAR*>(&r.Interface);
  while (used < declared) {
    if (declared - used < kX86InterfaceFixed) {
      return bad_urb(
          irp, urb,
          "Hdr.Length " + std::to_string(declared) + " ends inside an interface information");
    }
    if (limit != nullptr && static_cast<size_t>(limit - at) < kHostInterfaceFixed) {
      return bad_urb(irp, urb,
                     "Hdr.Length " + std::to_string(declared) + " runs past the request's " +
                         std::to_string(block) + " bytes");
    }
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    const ULONG pipes = info->NumberOfPipes;
    if (pipes > kMaxPipes || info->Length != host_interface_length(pipes)) {
      return bad_urb(irp, urb,
                     "interface information Length " + std::to_string(info->Length) + " with " +
                         std::to_string(pipes) + " pipes (takes " +
                         std::to_string(host_interface_length(pipes > kMaxPipes ? 0 : pipes)) +
                         ")");
    }
    if (limit != nullptr && static_cast<size_t>(limit - at) < info->Length) {
      return bad_urb(
          irp, urb,
          "interface information runs past the request's " + std::to_string(block) + " bytes");
    }
    used += x86_interface_length(pipes);
    if (used > declared) {
      return bad_urb(irp, urb,
                     "Hdr.Length " + std::to_string(declared) + " is short of the " +
                         std::to_string(used) + " bytes its interfaces take");
    }
    // The interface must exist in the configuration, with as many endpoints
    // as the request has pipes.
    const USB_INTERFACE_DESCRIPTOR* d =
        find_interface(cd, info->InterfaceNumber, info->AlternateSetting);
    if (d == nullptr) {
      return fail_at_once(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
    }
    Transfer::InterfacePlan plan{info, {}};
    if (!parse_interface(cd, d, &plan.parsed)) {
      return fail_at_once(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
                          STATUS_INVALID_PARAMETER);
    }
    if (plan.parsed.endpoint_count != pipes) {
      return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    for (const auto& other : t.interfaces) {
      if (other.parsed.descriptor->bInterfaceNumber == d->bInterfaceNumber) {
        return fail_at_once(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      }
    }
    for (ULONG i = 0; i < pipes; ++i) {
      if (info->Pipes[i].PipeFlags & ~USBD_PF_VALID_MASK) {
        return fail_at_once(irp, urb, USBD_STATUS_INAVLID_PIPE_FLAGS, STATUS_INVALID_PARAMETER);
      }
    }
    t.interfaces.push_back(plan);
    at += info->Length;
  }
  if (t.interfaces.empty()) {
    return bad_urb(irp, urb,
                   "Hdr.Length " + std::to_string(declared) + " holds no interface information");
  }
  t.configuration_value = cd->bConfigurationValue;
  t.setup.wValue = cd->bConfigurationValue;
  return STATUS_PENDING;
}

NTSTATUS BusDriver::abort_pipe(PIRP irp, PURB urb) {
  TransferList out;
  {
    std::unique_lock<host::HostMutex> lock(mutex_);
    Pipe* pipe = find_pipe_locked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
      lock.unlock();
      return fail_at_once(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    cancel_all_locked(pipe->queue, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
    stats_.aborted += out.size();
    schedule_tick_locked();
  }
  // The abort request itself completes after the transfers it ended.
  auto self = std::make_unique<Transfer>();
  self->kind = Transfer::Kind::Done;
  self->irp = irp;
  self->urb = urb;
  self->function = URB_FUNCTION_ABORT_PIPE;
  finish_locked(*self, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
  out.push_back(std::move(self));
  IoMarkIrpPending(irp);
  if (choose_before_return()) {
    {
      std::lock_guard<host::HostMutex> lock(mutex_);
      ++stats_.completed_before_return;
    }
    complete(out);
  } else {
    complete_later(std::move(out));
  }
  return STATUS_PENDING;
}

bool BusDriver::choose_before_return() {
  switch (options_.completion) {
    case CompletionMode::Deferred:
      return false;
    case CompletionMode::BeforeReturn:
      return true;
    case CompletionMode::Seeded:
    default:
      return Kernel::get().scheduler().random(2) == 1;
  }
}

void BusDriver::set_request_rule(std::function<RequestFault(const RequestInfo&)> rule) {
  std::lock_guard<host::HostMutex> lock(mutex_);
  request_rule_ = std::move(rule);
}

NTSTATUS BusDriver::accept(std::unique_ptr<Transfer> t, UrbFault fault) {
  std::function<RequestFault(const RequestInfo&)> rule;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    rule = request_rule_;
  }
  if (rule && fault == UrbFault::None) {
    RequestInfo info;
    info.function = t->function;
    info.bulk = t->kind == Transfer::Kind::Bulk;
    info.endpoint = info.bulk ? t->endpoint : 0;
    info.in = t->in;
    info.setup = t->setup;
    info.length = t->length;
    switch (rule(info)) {
      case RequestFault::None:
        break;
      case RequestFault::Refuse:
        return fail_at_once(t->irp, t->urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
      case RequestFault::Error:
        fault = UrbFault::CompleteWithError;
        break;
      case RequestFault::Stall:
        fault = UrbFault::CompleteWithError;
        t->fail_usbd = USBD_STATUS_STALL_PID;
        break;
      case RequestFault::Hang:
        fault = UrbFault::Stall;
        break;
      case RequestFault::AtOnce:
        t->at_once = true;
        break;
      case RequestFault::Late:
        fault = UrbFault::Late;
        break;
    }
  }
  if (fault == UrbFault::Stall) t->hung = true;
  if (fault == UrbFault::Late) t->not_before = now() + options_.late_delay;
  if (fault == UrbFault::CompleteWithError) t->fail_at_bus = true;
  if (t->kind != Transfer::Kind::Bulk) {
    t->endpoint = (t->setup.bmRequestType & 0x80) ? 0x80 : 0x00;
    t->usbmon_type = kUsbmonControl;
  }
  capture_submission(*t);

  PIRP irp = t->irp;
  IoMarkIrpPending(irp);
  const bool before_return =
      !t->hung && fault != UrbFault::Late && (t->at_once || choose_before_return());
  TransferList done;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    Transfer* raw = t.get();
    IoSetCancelRoutine(irp, &cancel_routine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      // Cancelled before it reached the bus.
      finish_locked(*raw, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      ++stats_.cancelled;
      done.push_back(std::move(t));
    } else {
      auto& queue = raw->kind == Transfer::Kind::Bulk ? raw->pipe->queue : control_queue_;
      queue.push_back(std::move(t));
      const bool bulk = raw->kind == Transfer::Kind::Bulk;
      const bool halted = bulk && raw->pipe->halted;
      const bool periodic = bulk && raw->pipe->type != UsbdPipeTypeBulk;
      const Nanoseconds t_now = now();
      if (!halted && !raw->hung && raw->not_before <= t_now &&
          first_to_run(queue) == queue.size() - 1 && (!periodic || before_return)) {
        // Nothing on its pipe is still to run: the controller takes it up in
        // the (micro)frame in progress, at once (control and bulk transfers
        // are on the asynchronous schedule, which runs whenever the frame has
        // time left). Interrupt transfers wait for the next frame's start.
        unsigned& budget = frame_budget_locked(t_now / period_);
        if (!bulk) {
          carry_control_locked(*raw, budget);
        } else if (raw->fail_at_bus) {
          finish_locked(*raw, raw->fail_usbd, STATUS_UNSUCCESSFUL);
        } else {
          run_bulk_locked(*raw, budget);
        }
        if (before_return && queue.size() == 1 && raw->done()) {
          // Completed inside the dispatch, as when another processor
          // finishes it first.
          take_for_completion_locked(queue, 0, done);
          stats_.completed_before_return += done.size();
          drain_orphans_locked(done, UINT64_MAX);
        }
      }
      schedule_tick_locked();
    }
  }
  complete(done);
  return STATUS_PENDING;
}

// ---- The bus at work ----------------------------------------------------------------

bool BusDriver::carry_control_locked(Transfer& t, unsigned& budget) {
  if (!t.carried) {
    if (budget == 0) return false;  // the frame is full: the next one takes it
    if (t.fail_at_bus) {
      finish_locked(t, t.fail_usbd, STATUS_UNSUCCESSFUL);
      t.slots_owed = 1;  // the setup stage that went unanswered
    } else {
      if (!run_control_locked(t)) return false;  // NAKed: tried again next frame
      // Setup, data packets, status.
      // A read's data stage ends with its short packet.
      const uint32_t data = t.kind == Transfer::Kind::ResetPipe ? 0 : t.in ? t.moved : t.length;
      t.slots_owed = 2 + (data + ep0_max_packet_ - 1) / ep0_max_packet_;
    }
    t.carried = true;
  }
  const uint32_t paid = std::min<uint32_t>(budget, t.slots_owed);
  budget -= paid;
  t.slots_owed -= paid;
  if (t.slots_owed != 0) return false;
  t.done_frame = now() / period_;  // the frame that carried its last transaction
  return true;
}

bool BusDriver::run_control_locked(Transfer& t) {
  if (t.kind == Transfer::Kind::ResetPipe) {
    device_.reset_endpoint(t.pipe->address);
    // Resetting the pipe (not only clearing the device's stall) lets its
    // queue run again.
    if (t.function != URB_FUNCTION_SYNC_CLEAR_STALL) t.pipe->halted = false;
    ++device_generation_;
    finish_locked(t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return true;
  }
  std::vector<uint8_t> data(std::max<size_t>(t.length, 1), 0);
  if (!t.in && t.length != 0) std::memcpy(data.data(), t.buffer, t.length);
  hw::ControlResult result = device_.control(t.setup, data.data());
  if (result.handshake == hw::Handshake::Nak) {
    note_nak_locked(t);
    return false;
  }
  t.naked = false;
  ++device_generation_;
  const uint32_t actual = static_cast<uint32_t>(std::min<size_t>(result.actual, t.length));
  if (t.in && actual != 0) std::memcpy(t.buffer, data.data(), actual);
  t.moved = actual;
  if (result.handshake == hw::Handshake::Stall) {
    finish_locked(t,
                  t.kind == Transfer::Kind::SelectConfiguration ? USBD_STATUS_SET_CONFIG_FAILED
                                                                : USBD_STATUS_STALL_PID,
                  STATUS_UNSUCCESSFUL);
    return true;
  }
  if (t.kind == Transfer::Kind::SelectConfiguration) apply_configuration_locked(t);
  if (t.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && t.setup.bmRequestType == 0x80 &&
      (t.setup.wValue >> 8) == USB_DEVICE_DESCRIPTOR_TYPE && actual >= 8 && t.buffer[7] != 0) {
    ep0_max_packet_ = t.buffer[7];  // bMaxPacketSize0
  }
  if (t.configuration_descriptor) {
    // The parsers must not read past what the device actually sent.
    note_descriptor_bytes(t.buffer, actual);
    noted_descriptors_.emplace_back(t.buffer, actual);
  }
  finish_locked(t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
  return true;
}

void BusDriver::apply_configuration_locked(Transfer& t) {
  // The previous configuration's pipes end here, with whatever they held.
  for (auto& p : pipes_)
    cancel_all_locked(p->queue, USBD_STATUS_CANCELED, STATUS_CANCELLED, orphans_);
  pipes_.clear();
  auto& r = t.urb->UrbSelectConfiguration;
  if (t.interfaces.empty()) {
    configuration_handle_ = 0;
    return;
  }
  configuration_handle_ = (next_handle_ += 0x10);
  r.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configuration_handle_);
  for (auto& plan : t.interfaces) {
    PUSBD_INTERFACE_INFORMATION info = plan.info;
    const USB_INTERFACE_DESCRIPTOR* d = plan.parsed.descriptor;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(next_handle_ += 0x10);
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->Reserved = 0;
    for (unsigned i = 0; i < plan.parsed.endpoint_count; ++i) {
      const USB_ENDPOINT_DESCRIPTOR* ep = plan.parsed.endpoints[i];
      auto pipe = std::make_unique<Pipe>();
      pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(next_handle_ += 0x10);
      pipe->type = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe->address = ep->bEndpointAddress;
      pipe->max_packet = static_cast<uint16_t>(ep->wMaxPacketSize & 0x7FF);
      pipe->interval = ep->bInterval;
      pipe->max_transfer = info->Pipes[i].MaximumTransferSize;
      pipe->index = std::min(i, 3u);
      USBD_PIPE_INFORMATION& out = info->Pipes[i];
      out.MaximumPacketSize = pipe->max_packet;
      out.EndpointAddress = pipe->address;
      out.Interval = pipe->interval;
      out.PipeType = pipe->type;
      out.PipeHandle = pipe->handle;
      pipes_.push_back(std::move(pipe));
    }
  }
}

bool BusDriver::run_bulk_locked(Transfer& t, unsigned& budget) {
  Pipe& p = *t.pipe;
  const size_t mps = p.max_packet;
  const uint8_t number = p.address & USB_ENDPOINT_ADDRESS_MASK;
  if (budget == 0) return false;
  // The transfer's packets go to the device in one call, as far as this
  // (micro)frame's budget and the device's handshakes let them.
  const hw::BulkPackets r =
      t.in ? device_.bulk_in_packets(number, t.buffer + t.moved, t.length - t.moved, mps, budget)
           : device_.bulk_out_packets(number, t.buffer + t.moved, t.length - t.moved, mps, budget);
  if (r.packets != 0) {
    t.naked = false;
    device_generation_ += r.packets;
    budget -= r.packets;
    stats_.packets += r.packets;
    t.moved += static_cast<uint32_t>(r.bytes);
    (t.in ? counters().bytes_in_per_pipe : counters().bytes_out_per_pipe)[p.index] += r.bytes;
  }
  if (r.handshake == hw::Handshake::Nak) {
    note_nak_locked(t);
    return false;
  }
  if (r.handshake == hw::Handshake::Stall) {
    t.naked = false;
    ++device_generation_;
    finish_locked(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    return true;
  }
  if (r.overrun) {
    // The device sent more than the buffer holds (babble).
    finish_locked(t, USBD_STATUS_DATA_OVERRUN, STATUS_UNSUCCESSFUL);
    return true;
  }
  if (!r.ended) return false;  // the budget ran out first
  // A short IN packet before the buffer was full ends the transfer early.
  const bool short_error =
      t.in && t.moved < t.length && !t.short_ok &&
      (options_.short_transfer == ShortTransfer::Error ||
       (options_.short_transfer == ShortTransfer::BySpeed && speed_ == hw::BusSpeed::Full));
  if (short_error) {
    finish_locked(t, USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL);
  } else {
    finish_locked(t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
  }
  return true;
}

size_t BusDriver::first_to_run(const TransferQueue& queue) {
  size_t i = 0;
  while (i < queue.size() && queue[i]->done())
    ++i;
  return i;
}

void BusDriver::work_control_locked(unsigned& budget, Nanoseconds t_now) {
  for (size_t i = first_to_run(control_queue_); i < control_queue_.size(); ++i) {
    Transfer& t = *control_queue_[i];
    if (t.hung || t.not_before > t_now) break;
    if (!carry_control_locked(t, budget)) break;
  }
}

void BusDriver::work_pipe_locked(Pipe& p, unsigned& budget, Nanoseconds t_now, uint64_t frame) {
  for (size_t i = first_to_run(p.queue); i < p.queue.size() && budget > 0 && !p.halted; ++i) {
    Transfer& t = *p.queue[i];
    if (t.hung || t.not_before > t_now) break;
    // NAKed, and nothing has changed since, at this very instant or with
    // the device's word that the NAKs hold for a while yet: polling again
    // would only be NAKed again.
    if (t.naked && t.nak_generation == device_generation_.load() &&
        (t.nak_at == t_now || t.nak_until > t_now)) {
      break;
    }
    bool finished;
    if (t.fail_at_bus) {
      finish_locked(t, t.fail_usbd, STATUS_UNSUCCESSFUL);
      finished = true;
    } else {
      finished = run_bulk_locked(t, budget);
    }
    if (!finished) break;
    t.done_frame = frame;
  }
}

void BusDriver::on_tick(bool boundary) {
  {
    std::lock_guard<host::HostMutex> lock(tick_mutex_);
    (boundary ? tick_armed_ : revisit_armed_) = false;
  }
  // The list of what ended keeps its room from this thread's last frame
  // start: most frame starts end a transfer or two.
  thread_local TransferList spare;
  TransferList done;
  done.swap(spare);
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    const Nanoseconds t_now = now();
    // The (micro)frame in progress, numbered by its start: at a boundary the
    // one that starts there, between boundaries the one that ends at the
    // next.
    const uint64_t frame = t_now / period_;
    const size_t n = pipes_.size();
    const size_t first = n != 0 ? static_cast<size_t>(frame % n) : 0;
    if (boundary) {
      ++stats_.ticks;
      if (frame != 0) {
        // The last visit of the frame that ends here: each bulk pipe's
        // transfer still to run goes once more, in its turn, with what that
        // frame's budget has left (unless its device has said it would be
        // NAKed now); a transfer that ends now ended in that frame.
        const uint64_t ending = frame - 1;
        unsigned& budget = frame_budget_locked(ending);
        const size_t turn = n != 0 ? static_cast<size_t>(ending % n) : 0;
        for (size_t k = 0; k < n && budget > 0; ++k) {
          Pipe& p = *pipes_[(turn + k) % n];
          if (p.type == UsbdPipeTypeBulk) work_pipe_locked(p, budget, t_now, ending);
        }
      }
      // The end of the frame before: what ended in it (or earlier, for a
      // boundary skipped while idle) is reported here, the default pipe's
      // requests first, then the pipes in this frame's turn order.
      auto report = [&](TransferQueue& queue) {
        while (!queue.empty() && queue.front()->done() && queue.front()->done_frame < frame)
          take_for_completion_locked(queue, 0, done);
      };
      report(control_queue_);
      drain_orphans_locked(done, frame);
      for (size_t k = 0; k < n; ++k)
        report(pipes_[(first + k) % n]->queue);
    } else {
      ++stats_.revisits;
    }
    unsigned& budget = frame_budget_locked(frame);
    // The start of this frame (at a boundary): the default pipe goes first,
    // then every pipe with a transfer still to run, interrupt pipes included.
    // Between boundaries, a revisit of the bulk pipes. Pipes share the
    // frame's packets left, taking turns at going first by frame number (so
    // that frames skipped while idle leave the order as it would have been).
    // A halted pipe runs nothing.
    if (boundary) work_control_locked(budget, t_now);
    for (size_t k = 0; k < n && budget > 0; ++k) {
      Pipe& p = *pipes_[(first + k) % n];
      if (!boundary && p.type != UsbdPipeTypeBulk) continue;
      work_pipe_locked(p, budget, t_now, frame);
    }
    if (!boundary && options_.complete_at_revisit) {
      for (auto& p : pipes_) {
        if (p->type != UsbdPipeTypeBulk) continue;
        while (!p->queue.empty() && p->queue.front()->done())
          take_for_completion_locked(p->queue, 0, done);
      }
    }
    stats_.completed_later += done.size();
    schedule_tick_locked();
  }
  // Completion routines that submit again are taken up at once, in the frame
  // that starts here.
  complete(done);
  spare.swap(done);
}

unsigned& BusDriver::frame_budget_locked(uint64_t frame) {
  // Two frames are kept: a boundary's last visit of the frame that ends
  // there may come after the frame that starts there has been paid from (by
  // a request submitted at that instant).
  const size_t slot = frame & 1;
  if (frame != budget_frame_[slot]) {
    budget_frame_[slot] = frame;
    budget_left_[slot] = options_.unthrottled ? UINT32_MAX : packets_per_frame_;
  }
  return budget_left_[slot];
}

void BusDriver::note_nak_locked(Transfer& t) {
  ++stats_.naks;
  t.naked = true;
  t.nak_generation = device_generation_.load();
  t.nak_at = now();
  t.nak_until = 0;
}

void BusDriver::schedule_tick_locked() {
  const Nanoseconds t_now = now();
  const Nanoseconds next = (t_now / period_ + 1) * period_;
  const uint64_t generation = device_generation_.load();
  // The first boundary at or after `t`; UINT64_MAX when there is none.
  auto boundary_from = [&](uint64_t t) -> Nanoseconds {
    if (t > UINT64_MAX - period_) return UINT64_MAX;
    return (t + period_ - 1) / period_ * period_;
  };
  Nanoseconds earliest = UINT64_MAX;
  Nanoseconds revisit = UINT64_MAX;
  bool bulk_waiting = false;
  auto consider = [&](Transfer& t, const Pipe* pipe) {
    if (t.hung) return;
    Nanoseconds at = next;
    if (t.not_before > at) at = boundary_from(t.not_before);
    if (t.naked && t.nak_generation == generation) {
      // Nothing has changed since this request was NAKed: the next frame
      // start that can see it move is the one at or after the time the
      // device says its answer may change. A bulk endpoint is revisited
      // within the frame, at that very time; the boundary after it reports
      // what the revisit ended.
      const uint8_t endpoint = t.kind == Transfer::Kind::Bulk ? t.endpoint : 0;
      const uint64_t until = device_.naks_until(endpoint);
      t.nak_until = until;
      at = std::max(at, boundary_from(until));
      if (pipe != nullptr && pipe->type == UsbdPipeTypeBulk) {
        bulk_waiting = true;
        if (until > t_now && until != UINT64_MAX && until % period_ != 0) {
          revisit = std::min(revisit, until);
        }
      }
    }
    earliest = std::min(earliest, at);
  };
  // Only the first request of each queue still to run can move; the rest
  // wait behind it. Those that ended are reported at the next boundary.
  auto look_at = [&](TransferQueue& queue, const Pipe* pipe) {
    const size_t i = first_to_run(queue);
    if (i != 0) earliest = std::min(earliest, next);
    if (i < queue.size() && (pipe == nullptr || !pipe->halted)) consider(*queue[i], pipe);
  };
  look_at(control_queue_, nullptr);
  if (!orphans_.empty()) earliest = std::min(earliest, next);
  for (auto& p : pipes_)
    look_at(p->queue, p.get());
  bulk_waiting_ = bulk_waiting;
  // The boundary tick is armed as it would be without revisits, so that
  // whatever else falls due at the same instant keeps its order around it.
  if (revisit < earliest) request_revisit(revisit);
  if (earliest == UINT64_MAX) return;
  request_tick(earliest);
}

bool BusDriver::timers_locked() {
  Kernel* k = Kernel::current();
  if (k == nullptr) return false;
  if (tick_timer_ == 0 || tick_scheduler_ != &k->scheduler()) {
    tick_scheduler_ = &k->scheduler();
    tick_timer_ = tick_scheduler_->create_timer(
        RunLevel::AnyCompletionLevel, [this] { on_tick(true); }, "usb frame");
    // A revisit completes nothing, so its level is fixed (and draws nothing
    // from the seed).
    revisit_timer_ = tick_scheduler_->create_timer(
        RunLevel::Dispatch, [this] { on_tick(false); }, "usb revisit");
  }
  return true;
}

void BusDriver::request_tick(Nanoseconds at) {
  std::lock_guard<host::HostMutex> lock(tick_mutex_);
  if (tick_armed_ && tick_time_ <= at) return;
  if (!timers_locked()) return;
  tick_armed_ = true;
  tick_time_ = at;
  tick_scheduler_->arm_timer(tick_timer_, at);
}

void BusDriver::request_revisit(Nanoseconds at) {
  std::lock_guard<host::HostMutex> lock(tick_mutex_);
  if (revisit_armed_ && revisit_time_ <= at) return;
  if (!timers_locked()) return;
  revisit_armed_ = true;
  revisit_time_ = at;
  tick_scheduler_->arm_timer(revisit_timer_, at);
}

void BusDriver::on_device_change() {
  // NAKs taken before this moment no longer hold. Polling every frame would
  // see the change at the next boundary: so does the bus. (Without anything
  // pending that tick finds nothing to do.)
  ++device_generation_;
  Kernel* k = Kernel::current();
  if (k == nullptr) return;
  const Nanoseconds t_now = k->scheduler().now();
  request_tick((t_now / period_ + 1) * period_);
  // A NAKed bulk endpoint is visited again and again within the frame: the
  // controller sees the change at once.
  if (bulk_waiting_) request_revisit(t_now);
}

// ---- Completion and cancellation ------------------------------------------------------

void BusDriver::finish_locked(Transfer& t, USBD_STATUS usbd, NTSTATUS status) {
  t.usbd = usbd;
  t.status = status;
  t.finished = true;
  t.done_frame = now() / period_;
  // A bulk or interrupt transfer that the bus ended in error (stall, babble,
  // no answer, a short transfer refused) halts its pipe, as the controller
  // halts the endpoint's queue. A cancel or abort does not.
  if (t.kind == Transfer::Kind::Bulk && t.pipe != nullptr && USBD_ERROR(usbd) &&
      usbd != USBD_STATUS_CANCELED && usbd != USBD_STATUS_DEVICE_GONE) {
    t.pipe->halted = true;
  }
}

void BusDriver::take_for_completion_locked(TransferQueue& queue, size_t index, TransferList& out) {
  std::unique_ptr<Transfer> t = std::move(queue[index]);
  queue.erase(queue.begin() + static_cast<ptrdiff_t>(index));
  if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) {
    // IoCancelIrp has taken the cancel routine: it completes the IRP.
    cancelling_.push_back(std::move(t));
    return;
  }
  out.push_back(std::move(t));
}

void BusDriver::cancel_all_locked(TransferQueue& queue, USBD_STATUS usbd, NTSTATUS status,
                                  TransferList& out) {
  while (!queue.empty()) {
    // One that already ended keeps its own result.
    if (!queue.front()->finished) finish_locked(*queue.front(), usbd, status);
    take_for_completion_locked(queue, 0, out);
  }
}

void BusDriver::drain_orphans_locked(TransferList& out, uint64_t before_frame) {
  size_t kept = 0;
  for (auto& t : orphans_) {
    if (t->done_frame < before_frame) {
      out.push_back(std::move(t));
    } else {
      orphans_[kept++] = std::move(t);
    }
  }
  orphans_.resize(kept);
}

void NTAPI BusDriver::cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusDriver* bus = *static_cast<BusDriver**>(device->DeviceExtension);
  bus->cancel(irp);
}

void BusDriver::cancel(PIRP irp) {
  std::unique_ptr<Transfer> found;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    auto take = [&](TransferQueue& q) {
      for (auto it = q.begin(); it != q.end(); ++it) {
        if ((*it)->irp == irp) {
          found = std::move(*it);
          q.erase(it);
          return true;
        }
      }
      return false;
    };
    if (!take(control_queue_) && !take(cancelling_)) {
      for (auto& p : pipes_) {
        if (take(p->queue)) break;
      }
    }
    if (!found) return;
    // A transfer that ended but is not yet reported keeps its result.
    if (!found->finished) finish_locked(*found, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    ++stats_.cancelled;
    schedule_tick_locked();  // a cancelled head may have held others back
  }
  complete_one(*found);
}

void BusDriver::complete(TransferList& list) {
  for (auto& t : list)
    complete_one(*t);
  list.clear();
}

void BusDriver::complete_later(TransferList list) {
  if (list.empty()) return;
  auto shared = std::make_shared<TransferList>(std::move(list));
  std::weak_ptr<int> life = life_;
  Kernel::get().scheduler().schedule_at(
      now(), RunLevel::AnyCompletionLevel,
      [this, life, shared] {
        if (life.lock()) complete(*shared);
      },
      "usb completion");
}

void BusDriver::complete_one(Transfer& t) {
  PURB urb = t.urb;
  switch (t.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t.moved;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      urb->UrbControlDescriptorRequest.TransferBufferLength = t.moved;
      break;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
      urb->UrbControlGetStatusRequest.TransferBufferLength = t.moved;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
      urb->UrbControlVendorClassRequest.TransferBufferLength = t.moved;
      break;
    default:
      break;
  }
  urb->UrbHeader.Status = t.usbd;
  if (t.kind != Transfer::Kind::Done) capture_completion(t);
  t.irp->IoStatus.Status = t.status;
  t.irp->IoStatus.Information = 0;
  IofCompleteRequest(t.irp, IO_NO_INCREMENT);
}

// ---- Capture ------------------------------------------------------------------------

void BusDriver::capture_submission(Transfer& t) {
  std::lock_guard<host::HostMutex> lock(capture_mutex_);
  // Numbered in submission order rather than by address, so that a seed
  // writes the same capture every time (and a capture started late still
  // names the requests it sees complete).
  t.capture_id = ++capture_ids_;
  if (!capture_) return;
  UsbmonRecord r;
  r.id = t.capture_id;
  r.type = 'S';
  r.xfer_type = t.usbmon_type;
  r.endpoint = t.endpoint;
  r.device = options_.device_address;
  r.bus = options_.bus_number;
  r.status = kUsbmonInProgress;
  r.interval = t.interval;
  const uint8_t* data = nullptr;
  uint32_t len = 0;
  if (t.kind == Transfer::Kind::Bulk) {
    r.length = t.length;
    r.xfer_flags = t.in ? (kUsbmonDirIn | (t.short_ok ? 0 : kUsbmonShortNotOk)) : 0;
  } else {
    r.has_setup = true;
    r.setup[0] = t.setup.bmRequestType;
    r.setup[1] = t.setup.bRequest;
    r.setup[2] = static_cast<uint8_t>(t.setup.wValue);
    r.setup[3] = static_cast<uint8_t>(t.setup.wValue >> 8);
    r.setup[4] = static_cast<uint8_t>(t.setup.wIndex);
    r.setup[5] = static_cast<uint8_t>(t.setup.wIndex >> 8);
    r.setup[6] = static_cast<uint8_t>(t.setup.wLength);
    r.setup[7] = static_cast<uint8_t>(t.setup.wLength >> 8);
    r.length = t.setup.wLength;
    r.xfer_flags = t.in ? kUsbmonDirIn : 0;
  }
  if (!t.in && t.length != 0) {
    data = t.buffer;
    len = t.length;
  }
  capture_->write(r, data, len, now());
}

void BusDriver::capture_completion(const Transfer& t) {
  std::lock_guard<host::HostMutex> lock(capture_mutex_);
  if (!capture_) return;
  UsbmonRecord r;
  r.id = t.capture_id;
  r.type = 'C';
  r.xfer_type = t.usbmon_type;
  r.endpoint = t.endpoint;
  r.device = options_.device_address;
  r.bus = options_.bus_number;
  r.status = usbmon_status(t.usbd);
  r.length = t.moved;
  r.interval = t.interval;
  r.xfer_flags = t.in ? kUsbmonDirIn : 0;
  const bool data = t.in && t.moved != 0;
  capture_->write(r, data ? t.buffer : nullptr, data ? t.moved : 0, now());
}

}  // namespace host::usb
