// A whole simulated machine for tests: the host kernel, the USB bus driver
// over a board (hw::UsbDevice), the NDIS library with the usbeth driver
// loaded, one adapter on the bus and a protocol bound above it.
//
// Teardown halts the adapter (with the verifier's after-halt checks), closes
// the protocol, unloads the driver and destroys the kernel (leak checks); a
// bug check there aborts the process. A test that provokes a bug check on
// purpose calls abandon() to skip all of that.
#pragma once

#include <memory>
#include <vector>

#include "hw/usb_device.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "usb/bus_driver.h"

namespace host {

// A clock for the board: the kernel's virtual time, 0 while no kernel exists
// (the board is built before the testbed creates its kernel).
hw::Clock kernel_clock();

struct TestbedOptions {
  KernelOptions kernel;
  usb::BusOptions bus = usb::seeded_completion();  // both completion paths, by the seed
  ndis::AdapterRegistry registry;
  std::vector<NDIS_MEDIUM> media{NdisMedium802_3};
  ndis::Protocol::Options protocol;
  bool initialize = true;  // initialize the adapter in the constructor
};

class Testbed {
 public:
  explicit Testbed(hw::UsbDevice& device, TestbedOptions options = {});
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  Kernel& kernel() { return *kernel_; }
  Scheduler& scheduler() { return kernel_->scheduler(); }
  usb::BusDriver& bus() { return *bus_; }
  ndis::Library& ndis() { return *ndis_; }
  ndis::Miniport& adapter() { return *adapter_; }
  ndis::Protocol& protocol() { return *protocol_; }

  // The status of the initialize handler (NDIS_STATUS_FAILURE before it ran).
  NDIS_STATUS initialize_status() const { return adapter_->initialize_status(); }
  // The miniport adapter context (a usbeth::Adapter*), null before initialize.
  void* adapter_context() const { return adapter_->context(); }
  // A field of the driver's adapter record (LinkState, AdapterState,
  // TxIrpsOutstanding, KeepAliveTimerStarted), read where the running driver
  // (the linked one or the loaded image) keeps it.
  uint32_t adapter_field(const char* name) const;
  // True when the driver is the loaded usbeth.sys rather than the linked one.
  static bool runs_image();

  // Halts the adapter now (the verifier's checks run); teardown then skips it.
  void halt();
  void abandon();

 private:
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<usb::BusDriver> bus_;
  std::unique_ptr<ndis::Library> ndis_;
  ndis::Miniport* adapter_ = nullptr;
  std::unique_ptr<ndis::Protocol> protocol_;
  bool abandoned_ = false;
};

}  // namespace host
