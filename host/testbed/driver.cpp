#include "testbed/driver.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "miniport/adapter.h"
#if USBETH_PE32
#include "pe/pe_image.h"
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host {
namespace {

// Adapter fields the tests and tools read, where the linked driver keeps them
// and where the image's own compiler put them.
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
    LINKED_FIELD(LinkState),         LINKED_FIELD(AdapterState),
    LINKED_FIELD(TxIrpsOutstanding), LINKED_FIELD(KeepAliveTimerStarted),
    LINKED_FIELD(ActivePhyAddress),  LINKED_FIELD(ActivePhyId),
};
#undef LINKED_FIELD

#if USBETH_PE32
// Written by the Windows build from the image's own compilation.
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

std::unique_ptr<pe::Image>& chosen_image() {
  static std::unique_ptr<pe::Image> image;
  return image;
}

const pe::Image* running_image() {
  if (chosen_image()) return chosen_image().get();
  return pe::image_from_environment();
}
#endif

template <size_t N>
const AdapterField* find_field(const AdapterField (&table)[N], const char* name) {
  for (const AdapterField& f : table)
    if (std::strcmp(f.name, name) == 0) return &f;
  return nullptr;
}

}  // namespace

bool driver_images_supported() {
#if USBETH_PE32
  return true;
#else
  return false;
#endif
}

std::string use_driver_image(const std::string& path) {
#if USBETH_PE32
  try {
    chosen_image() = std::make_unique<pe::Image>(pe::Image::load(path));
    return "";
  } catch (const pe::LoadError& e) {
    return e.what();
  }
#else
  return "cannot run " + path +
         ": this build runs the linked driver only; images load in the 32-bit build "
         "(preset pe32)";
#endif
}

ndis::DriverEntryRoutine driver_entry() {
#if USBETH_PE32
  if (const pe::Image* image = running_image()) return image->entry();
#endif
  return DriverEntry;
}

bool runs_driver_image() {
#if USBETH_PE32
  return running_image() != nullptr;
#else
  return false;
#endif
}

std::string driver_image_summary() {
#if USBETH_PE32
  if (const pe::Image* image = running_image()) {
    const pe::PrivilegedCounts counts = pe::privileged_counts();
    char text[160];
    std::snprintf(
        text, sizeof text, " mapped at 0x%08lx; it executed cli %llu times, sti %llu times",
        static_cast<unsigned long>(image->base()), static_cast<unsigned long long>(counts.cli),
        static_cast<unsigned long long>(counts.sti));
    return "image " + image->path() + text;
  }
#endif
  return "";
}

uint32_t read_adapter_field(const void* adapter_context, const char* name) {
  const AdapterField* f = find_field(kLinkedFields, name);
#if USBETH_PE32
  if (running_image()) f = find_field(kImageFields, name);
#endif
  if (!f || (f->size != 1 && f->size != 2 && f->size != 4)) {
    std::fprintf(stderr, "adapter field %s is not in the driver's field table\n", name);
    std::abort();
  }
  const auto* p = static_cast<const unsigned char*>(adapter_context) + f->offset;
  uint32_t value = 0;
  for (size_t i = 0; i < f->size; ++i)
    value |= uint32_t{p[i]} << (8 * i);
  return value;
}

}  // namespace host
