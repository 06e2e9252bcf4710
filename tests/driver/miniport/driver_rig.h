// A rig for the driver's frame and USB transport tests: a deterministic host
// kernel, the NDIS library with the driver loaded, a board behind the USB bus
// driver, and a spy device between the driver and the bus that records every
// URB as the driver handed it down. A bound protocol records what NDIS saw.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hw/board.h"
#include "hw/board_config.h"
#include "miniport/adapter.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "sim/kernel.h"
#include "usb/bus_driver.h"

namespace usbeth_test {

// One URB as the driver passed it down, copied before the bus saw it.
struct SeenUrb {
  USHORT function = 0;
  USHORT length = 0;
  std::vector<uint8_t> bytes;  // the URB, as long as the structure of its kind
  std::vector<uint8_t> data;   // out-going data of a vendor write
  host::Nanoseconds at = 0;
  const URB& urb() const { return *reinterpret_cast<const URB*>(bytes.data()); }
};

// Records the URBs going down and passes each IRP on to the bus driver.
class UrbSpy {
 public:
  explicit UrbSpy(PDEVICE_OBJECT lower) : lower_(lower) {
    std::memset(&driver_, 0, sizeof(driver_));
    std::memset(&device_, 0, sizeof(device_));
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &UrbSpy::Dispatch;
    device_.DriverObject = &driver_;
    device_.DeviceExtension = this;
    device_.StackSize = static_cast<CCHAR>(lower->StackSize + 1);
  }
  PDEVICE_OBJECT device() { return &device_; }
  std::vector<SeenUrb> urbs;

  std::vector<SeenUrb> with_function(USHORT function) const {
    std::vector<SeenUrb> out;
    for (const SeenUrb& u : urbs) {
      if (u.function == function) out.push_back(u);
    }
    return out;
  }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UrbSpy* self = static_cast<UrbSpy*>(device->DeviceExtension);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    SeenUrb seen;
    seen.function = urb->UrbHeader.Function;
    seen.length = urb->UrbHeader.Length;
    // Only the request's own structure: the driver allocates each URB at the
    // size of its kind, not of the whole union.
    size_t size = sizeof(struct _URB_HEADER);
    switch (seen.function) {
      case URB_FUNCTION_SELECT_CONFIGURATION:
        size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(
            1, urb->UrbSelectConfiguration.Interface.NumberOfPipes);
        break;
      case URB_FUNCTION_ABORT_PIPE:
      case URB_FUNCTION_RESET_PIPE:
        size = sizeof(struct _URB_PIPE_REQUEST);
        break;
      case URB_FUNCTION_VENDOR_DEVICE:
        size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        break;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        break;
      case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
      case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        size = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        break;
      case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        size = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
        break;
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        break;
    }
    seen.bytes.assign(reinterpret_cast<uint8_t*>(urb), reinterpret_cast<uint8_t*>(urb) + size);
    if (seen.function == URB_FUNCTION_VENDOR_DEVICE &&
        !(urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
      const uint8_t* d =
          static_cast<const uint8_t*>(urb->UrbControlVendorClassRequest.TransferBuffer);
      seen.data.assign(d, d + urb->UrbControlVendorClassRequest.TransferBufferLength);
    }
    seen.at = host::Kernel::get().scheduler().now();
    self->urbs.push_back(std::move(seen));
    // Pass the IRP on with this location skipped.
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    return IofCallDriver(self->lower_, irp);
  }

  PDEVICE_OBJECT lower_;
  DRIVER_OBJECT driver_;
  DEVICE_OBJECT device_;
};

// What the bound protocol saw.
class Recorder : public host::ndis::Binding {
 public:
  bool receive(host::ndis::Miniport&, PNDIS_PACKET, NDIS_STATUS status, UINT,
               std::vector<uint8_t> data) override {
    frames.push_back(std::move(data));
    return false;
  }
  void status(host::ndis::Miniport&, NDIS_STATUS code, const void*, UINT) override {
    statuses.push_back(code);
  }
  void status_complete(host::ndis::Miniport&) override {}
  void send_complete(host::ndis::Miniport&, PNDIS_PACKET, NDIS_STATUS status) override {
    send_statuses.push_back(status);
  }
  void reset_complete(host::ndis::Miniport&, NDIS_STATUS status, BOOLEAN addressing) override {
    reset_completions.push_back(status);
    reset_addressing = addressing;
  }
  std::vector<std::vector<uint8_t>> frames;
  std::vector<NDIS_STATUS> statuses;
  std::vector<NDIS_STATUS> send_statuses;
  std::vector<NDIS_STATUS> reset_completions;
  BOOLEAN reset_addressing = 2;
};

struct RigOptions {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  host::usb::BusOptions bus = host::usb::seeded_completion();
  uint64_t seed = 1;
  bool load_driver = true;
};

// Kernel, NDIS, board, bus, spy and the loaded driver, torn down in order.
class DriverRig {
 public:
  explicit DriverRig(RigOptions options = {}) {
    host::KernelOptions k;
    k.seed = options.seed;
    kernel = host::Kernel::create(k);
    ndis = std::make_unique<host::ndis::Library>();
    board = std::make_unique<hw::Board>(options.board,
                                        [] { return host::Kernel::get().scheduler().now(); });
    bus = std::make_unique<host::usb::BusDriver>(*board, options.bus);
    spy = std::make_unique<UrbSpy>(bus->device_object());
    if (options.load_driver) {
      EXPECT_EQ(ndis->load_driver(DriverEntry), STATUS_SUCCESS);
    }
  }
  ~DriverRig() {
    if (abandoned_) {
      ndis->abandon();
      kernel->set_check_leaks_on_destroy(false);
    } else if (ndis->driver_loaded()) {
      ndis->unload_driver();
    }
    ndis.reset();
    spy.reset();
    bus.reset();
    board.reset();
    kernel.reset();
  }

  host::ndis::Miniport& AddAdapter(host::ndis::AdapterRegistry registry = {},
                                   std::vector<NDIS_MEDIUM> media = {NdisMedium802_3}) {
    host::ndis::AdapterSetup setup;
    setup.lower_device = spy->device();
    setup.registry = std::move(registry);
    setup.media = std::move(media);
    miniport = &ndis->add_adapter(std::move(setup));
    miniport->bind(&recorder);
    return *miniport;
  }
  // Adds an adapter and initializes it; expects success.
  usbeth::Adapter* Start(host::ndis::AdapterRegistry registry = {}) {
    AddAdapter(std::move(registry));
    EXPECT_EQ(miniport->initialize(), NDIS_STATUS_SUCCESS);
    return adapter();
  }
  usbeth::Adapter* adapter() { return static_cast<usbeth::Adapter*>(miniport->context()); }
  host::Scheduler& scheduler() { return kernel->scheduler(); }
  host::Nanoseconds now() { return kernel->scheduler().now(); }
  void RunFor(host::Nanoseconds d) { kernel->scheduler().run_for(d); }
  void Abandon() { abandoned_ = true; }

  std::unique_ptr<host::Kernel> kernel;
  std::unique_ptr<host::ndis::Library> ndis;
  std::unique_ptr<hw::Board> board;
  std::unique_ptr<host::usb::BusDriver> bus;
  std::unique_ptr<UrbSpy> spy;
  host::ndis::Miniport* miniport = nullptr;
  Recorder recorder;

 private:
  bool abandoned_ = false;
};

// Register writes of the board for one register, in order.
inline std::vector<uint8_t> WritesTo(hw::Board& board, uint8_t reg) {
  return board.values_written_to(reg);
}

}  // namespace usbeth_test
