#include "testbed/testbed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testbed/driver.h"

namespace host {

hw::Clock kernel_clock() {
  return [] {
    Kernel* kernel = Kernel::current();
    return kernel ? kernel->scheduler().now() : Nanoseconds{0};
  };
}

Testbed::Testbed(hw::UsbDevice& device, TestbedOptions options) {
  kernel_ = Kernel::create(options.kernel);
  bus_ = std::make_unique<usb::BusDriver>(device, options.bus);
  ndis_ = std::make_unique<ndis::Library>();
  NTSTATUS status = ndis_->load_driver(driver_entry(), "usbeth");
  if (!NT_SUCCESS(status)) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    bug_check("DRIVER_ENTRY_FAILED", std::string("DriverEntry returned ") + text);
  }
  ndis::AdapterSetup setup;
  setup.lower_device = bus_->device_object();
  setup.registry = std::move(options.registry);
  // USBETH_QUEUE_DEPTH runs a whole suite with deeper transfer queues: both
  // depths set to it, unless the test sets them itself.
  if (const char* depth = std::getenv("USBETH_QUEUE_DEPTH")) {
    const uint32_t value = static_cast<uint32_t>(std::strtoul(depth, nullptr, 0));
    for (const char* keyword : {"TxQueueDepth", "RxQueueDepth"}) {
      if (setup.registry.find(keyword) == nullptr) setup.registry.set_integer(keyword, value);
    }
  }
  setup.media = std::move(options.media);
  setup.name = "usbeth0";
  adapter_ = &ndis_->add_adapter(std::move(setup));
  protocol_ = std::make_unique<ndis::Protocol>(*adapter_, options.protocol);
  if (options.initialize) adapter_->initialize();
}

Testbed::~Testbed() {
  if (!abandoned_ && !ndis_->abandoned()) {
    try {
      if (adapter_->state() == ndis::Miniport::State::Running) adapter_->halt();
      protocol_->close();
      ndis_->unload_driver();
    } catch (const BugCheck& e) {
      std::fprintf(stderr, "*** BUG CHECK while the testbed was torn down\n%s\n", e.what());
      std::fflush(stderr);
      std::abort();
    }
  }
  protocol_.reset();
  ndis_.reset();
  bus_.reset();
  kernel_.reset();
}

bool Testbed::runs_image() {
  return runs_driver_image();
}

uint32_t Testbed::adapter_field(const char* name) const {
  return read_adapter_field(adapter_context(), name);
}

void Testbed::halt() {
  adapter_->halt();
}

void Testbed::abandon() {
  abandoned_ = true;
  ndis_->abandon();
  kernel_->set_check_leaks_on_destroy(false);
}

}  // namespace host
