// A device object put between the driver and the bus driver for data-path
// tests. Control and interrupt traffic passes straight through; each bulk
// transfer is logged as the driver handed it down and then, by rule, passed
// on to the bus, completed inside IofCallDriver, or held until the test (or
// IoCancelIrp, inside that call) completes it.
//
// The device asks for one stack location more than the bus, which is the
// location it uses itself.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "host_wdk.h"
#include "nt/io.h"
#include "sim/kernel.h"

namespace usbeth::test {

struct BulkTransfer {
  bool in = false;
  ULONG length = 0;  // TransferBufferLength as handed down
  ULONG flags = 0;
  USBD_PIPE_HANDLE pipe = nullptr;
  std::vector<uint8_t> bytes;  // bulk-out: the data handed down
};

enum class BulkAction {
  Forward,        // on to the bus driver
  SucceedInline,  // completed with success before IofCallDriver returns
  FailInline,     // completed with an error before IofCallDriver returns
  Hold,           // pending until complete_held() or IoCancelIrp
};

class BulkInterposer {
 public:
  explicit BulkInterposer(PDEVICE_OBJECT bus) : bus_(bus) {
    driver_ = host::create_driver_object("bulk-interposer");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &BulkInterposer::Dispatch;
    device_ = host::create_device_object(driver_, static_cast<CCHAR>(bus->StackSize + 1),
                                         sizeof(BulkInterposer*));
    *static_cast<BulkInterposer**>(device_->DeviceExtension) = this;
  }
  ~BulkInterposer() {
    host::delete_device_object(device_);
    host::delete_driver_object(driver_);
  }
  BulkInterposer(const BulkInterposer&) = delete;
  BulkInterposer& operator=(const BulkInterposer&) = delete;

  PDEVICE_OBJECT device() const { return device_; }

  // Decides per bulk transfer; Forward when unset.
  std::function<BulkAction(const BulkTransfer&)> rule;
  // Bytes reported for an inline success of a bulk-in read (0 when unset).
  std::function<std::vector<uint8_t>()> inline_read_data;
  // When nonzero, the length an inline read reports instead of the bytes given.
  ULONG inline_read_claim = 0;

  std::vector<BulkTransfer> bulk_out() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bulk_out_;
  }
  size_t bulk_in_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bulk_in_count_;
  }
  size_t held_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }

  // The held IRPs, oldest first.
  std::vector<PIRP> held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }

  // Completes the held bulk-in read `irp` with success and `data` as what
  // the device put in its buffer, at DISPATCH_LEVEL, as the bus driver's
  // completion would, whatever IRPs are held before it. False when it is not
  // held.
  bool complete_held_read(PIRP irp, const std::vector<uint8_t>& data) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find(held_.begin(), held_.end(), irp);
      if (it == held_.end()) return false;
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;  // being cancelled
      held_.erase(it);
    }
    auto& bulk = UrbOf(irp)->UrbBulkOrInterruptTransfer;
    const ULONG received =
        static_cast<ULONG>(std::min<size_t>(data.size(), bulk.TransferBufferLength));
    if (received != 0) memcpy(bulk.TransferBuffer, data.data(), received);
    host::run_at_irql(DISPATCH_LEVEL, "held bulk completion",
                      [&] { Complete(irp, STATUS_SUCCESS, received); });
    return true;
  }

  // Completes the oldest held IRP with `status` at DISPATCH_LEVEL, as the bus
  // driver's completion would. False when none is held.
  bool complete_held(NTSTATUS status) {
    PIRP irp = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (held_.empty()) return false;
      irp = held_.front();
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;  // being cancelled
      held_.erase(held_.begin());
    }
    host::run_at_irql(DISPATCH_LEVEL, "held bulk completion", [&] { Complete(irp, status, 0); });
    return true;
  }

 private:
  static PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  }

  static void Complete(PIRP irp, NTSTATUS status, ULONG received) {
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status =
        NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = received;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }

  static void NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BulkInterposer* self = *static_cast<BulkInterposer**>(device->DeviceExtension);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      for (auto it = self->held_.begin(); it != self->held_.end(); ++it) {
        if (*it == irp) {
          self->held_.erase(it);
          break;
        }
      }
    }
    Complete(irp, STATUS_CANCELLED, 0);
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    BulkInterposer* self = *static_cast<BulkInterposer**>(device->DeviceExtension);
    PURB urb = UrbOf(irp);
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      return self->Forward(irp);
    }
    const auto& bulk = urb->UrbBulkOrInterruptTransfer;
    BulkTransfer transfer;
    transfer.in = (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    transfer.length = bulk.TransferBufferLength;
    transfer.flags = bulk.TransferFlags;
    transfer.pipe = bulk.PipeHandle;
    if (!transfer.in) {
      const uint8_t* data = static_cast<const uint8_t*>(bulk.TransferBuffer);
      transfer.bytes.assign(data, data + bulk.TransferBufferLength);
    }
    BulkAction action = self->rule ? self->rule(transfer) : BulkAction::Forward;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (transfer.in) {
        self->bulk_in_count_++;
      } else {
        self->bulk_out_.push_back(transfer);
      }
    }
    switch (action) {
      case BulkAction::Forward:
        return self->Forward(irp);
      case BulkAction::SucceedInline: {
        ULONG received = 0;
        if (transfer.in && self->inline_read_data) {
          std::vector<uint8_t> data = self->inline_read_data();
          received = static_cast<ULONG>(std::min<size_t>(data.size(), bulk.TransferBufferLength));
          if (received != 0) memcpy(bulk.TransferBuffer, data.data(), received);
          if (self->inline_read_claim != 0) received = self->inline_read_claim;
        }
        Complete(irp, STATUS_SUCCESS, received);
        return STATUS_SUCCESS;
      }
      case BulkAction::FailInline:
        Complete(irp, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
      case BulkAction::Hold:
        IoMarkIrpPending(irp);
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          self->held_.push_back(irp);
        }
        IoSetCancelRoutine(irp, &BulkInterposer::Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
          {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->held_.pop_back();
          }
          Complete(irp, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }
    return STATUS_UNSUCCESSFUL;
  }

  NTSTATUS Forward(PIRP irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    return IofCallDriver(bus_, irp);
  }

  PDEVICE_OBJECT bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::mutex mutex_;
  std::vector<BulkTransfer> bulk_out_;
  size_t bulk_in_count_ = 0;
  std::vector<PIRP> held_;
};

}  // namespace usbeth::test
