#include "testbed/testbed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "miniport/adapter.h"
#if USBETH_PE32
#include "pe/pe_image.h"
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host {
namespace {

// Adapter fields the tests read, where the linked driver keeps them and
// where the image's own compiler put them.
struct AdapterField {
  const char* name;
  size_t offset;
  size_t size;
};
#define LINKED_FIELD(member)                                                    \
  AdapterField {                                                                \
#member, offsetof(usbeth::Adapter, member), sizeof(usbeth::Adapter::member) \
  }
const AdapterField kLinkedFields[] = {
    LINKED_FIELD(LinkState),
    LINKED_FIELD(AdapterState),
    LINKED_FIELD(TxIrpsOutstanding),
    LINKED_FIELD(KeepAliveTimerStarted),
};
#undef LINKED_FIELD

#if USBETH_PE32
#define USBETH_DDK_FIELD(record, member, offset, size)
#define USBETH_DDK_SIZE(record, size)
#define USBETH_DDK_ROOM(record, size)
#define USBETH_IMAGE_FIELD(record, member, offset, size) AdapterField{#member, offset, size},
const AdapterField kImageFields[] = {
#include "ddk_layout.h"
};
#undef USBETH_DDK_FIELD
#undef USBETH_DDK_SIZE
#undef USBETH_DDK_ROOM
#undef USBETH_IMAGE_FIELD
#endif

// The driver the test bed runs: the loaded image when one is named
// (USBETH_IMAGE in the 32-bit build), else the driver linked into the program.
ndis::DriverEntryRoutine driver_entry() {
#if USBETH_PE32
  if (const pe::Image* image = pe::image_from_environment()) return image->entry();
#endif
  return DriverEntry;
}

bool running_image() {
#if USBETH_PE32
  return pe::image_from_environment() != nullptr;
#else
  return false;
#endif
}

template <size_t N>
const AdapterField* find_field(const AdapterField (&table)[N], const char* name) {
  for (const AdapterField& f : table)
    if (std::strcmp(f.name, name) == 0) return &f;
  return nullptr;
}

}  // namespace

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
  return running_image();
}

uint32_t Testbed::adapter_field(const char* name) const {
  const AdapterField* f = find_field(kLinkedFields, name);
#if USBETH_PE32
  if (running_image()) f = find_field(kImageFields, name);
#endif
  if (!f || (f->size != 1 && f->size != 2 && f->size != 4)) {
    std::fprintf(stderr, "adapter field %s is not in the test bed's table\n", name);
    std::abort();
  }
  const auto* p = static_cast<const unsigned char*>(adapter_context()) + f->offset;
  uint32_t value = 0;
  for (size_t i = 0; i < f->size; ++i)
    value |= uint32_t{p[i]} << (8 * i);
  return value;
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
