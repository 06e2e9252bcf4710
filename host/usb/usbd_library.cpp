// The USBD library routines a function driver calls to find its interface in a
// configuration descriptor and to build the select-configuration request.
//
// Descriptors come from the device and are not trusted: every walk is bounded
// by the smallest of wTotalLength and the bytes known to hold descriptor data
// (see descriptor_extents.h), and a descriptor with bLength 0, one too short
// for its type, or one that runs past the end makes the whole parse fail with
// NULL rather than loop or read out of bounds.
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "descriptor_extents.h"
#include "descriptor_parse.h"
#include "nt/pool.h"
#include "urb_layout.h"
#include "wdk_nt.h"
#include "wdk_usb.h"

namespace host::usb {
namespace {

// ---- Descriptor extents ------------------------------------------------------
struct ExtentRegistry {
  std::mutex mutex;
  std::map<uintptr_t, size_t> regions;  // start -> length
};

ExtentRegistry& extents() {
  static ExtentRegistry* registry = new ExtentRegistry;  // outlives every static user
  return *registry;
}

void erase_overlapping(std::map<uintptr_t, size_t>& regions, uintptr_t start, size_t length) {
  uintptr_t end = start + length;
  auto it = regions.upper_bound(start);
  if (it != regions.begin()) --it;
  while (it != regions.end() && it->first < end) {
    if (it->first + it->second > start || (length == 0 && it->first == start)) {
      it = regions.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

void note_descriptor_bytes(const void* start, size_t length) {
  auto& r = extents();
  std::lock_guard<std::mutex> lock(r.mutex);
  uintptr_t s = reinterpret_cast<uintptr_t>(start);
  erase_overlapping(r.regions, s, length);
  r.regions[s] = length;
}

void forget_descriptor_bytes(const void* start, size_t length) {
  auto& r = extents();
  std::lock_guard<std::mutex> lock(r.mutex);
  erase_overlapping(r.regions, reinterpret_cast<uintptr_t>(start), length);
}

size_t known_descriptor_bytes(const void* p) {
  auto& r = extents();
  std::lock_guard<std::mutex> lock(r.mutex);
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  auto it = r.regions.upper_bound(a);
  if (it == r.regions.begin()) return SIZE_MAX;
  --it;
  if (a >= it->first && a < it->first + it->second) return it->first + it->second - a;
  if (a == it->first) return 0;  // a recorded empty region
  return SIZE_MAX;
}

uint16_t x86_urb_length(uint16_t function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CONTROL_TRANSFER:
      return kX86ControlUrbLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return kX86BulkUrbLength;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return kX86PipeUrbLength;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      return kX86FrameNumberUrbLength;
    default:
      return 0;
  }
}

namespace {

// A bounded walk over a descriptor chain [base, base + total).
class DescriptorWalk {
 public:
  DescriptorWalk(const UCHAR* base, size_t total) : base_(base), total_(total) {}

  // Advances to the next descriptor. False at the end; sets malformed() when
  // the chain is broken there.
  bool next() {
    if (offset_ + length_ >= total_) {
      offset_ = total_;
      return false;
    }
    size_t at = offset_ + length_;
    size_t left = total_ - at;
    if (left < 2 || base_[at] < 2 || base_[at] > left) {
      malformed_ = true;
      return false;
    }
    offset_ = at;
    length_ = base_[at];
    started_ = true;
    return type_fits();
  }
  // Positions the walk on the first descriptor (the one at base).
  bool first() {
    offset_ = 0;
    length_ = 0;
    if (total_ < 2 || base_[0] < 2 || base_[0] > total_) {
      malformed_ = true;
      return false;
    }
    length_ = base_[0];
    started_ = true;
    return type_fits();
  }

  const UCHAR* current() const { return base_ + offset_; }
  UCHAR type() const { return base_[offset_ + 1]; }
  bool malformed() const { return malformed_; }

 private:
  // Interface and endpoint descriptors too short to hold their fields are as
  // broken as a zero length.
  bool type_fits() {
    UCHAR t = base_[offset_ + 1];
    if ((t == USB_INTERFACE_DESCRIPTOR_TYPE && length_ < sizeof(USB_INTERFACE_DESCRIPTOR)) ||
        (t == USB_ENDPOINT_DESCRIPTOR_TYPE && length_ < sizeof(USB_ENDPOINT_DESCRIPTOR)) ||
        (t == USB_CONFIGURATION_DESCRIPTOR_TYPE && offset_ == 0 &&
         length_ < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
      malformed_ = true;
      return false;
    }
    return true;
  }

  const UCHAR* base_;
  size_t total_;
  size_t offset_ = 0;
  size_t length_ = 0;
  bool started_ = false;
  bool malformed_ = false;
};

// How many bytes of the configuration descriptor may be read: wTotalLength,
// clamped to the bytes known to be there. 0 when the header itself is bad.
size_t usable_configuration_bytes(const USB_CONFIGURATION_DESCRIPTOR* cd) {
  if (cd == nullptr) return 0;
  size_t known = known_descriptor_bytes(cd);
  size_t block = 0;
  if (host::pool_block_info(cd, &block, nullptr) && block < known) known = block;
  if (known < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return 0;
  }
  size_t total = cd->wTotalLength;
  if (total > known) total = known;
  if (total < cd->bLength) return 0;
  return total;
}

bool matches(LONG wanted, UCHAR value) {
  return wanted == -1 || static_cast<LONG>(value) == wanted;
}

}  // namespace

bool parse_interface(const USB_CONFIGURATION_DESCRIPTOR* cd, const void* wanted,
                     ParsedInterface* out) {
  size_t total = usable_configuration_bytes(cd);
  if (total == 0) return false;
  DescriptorWalk walk(reinterpret_cast<const UCHAR*>(cd), total);
  if (!walk.first()) return false;
  bool inside = false;
  *out = ParsedInterface{};
  while (walk.next()) {
    if (walk.type() == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (inside) break;
      if (walk.current() == wanted) {
        inside = true;
        out->descriptor = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(walk.current());
      }
    } else if (inside && walk.type() == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (out->endpoint_count == std::size(out->endpoints)) return false;
      out->endpoints[out->endpoint_count++] =
          reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(walk.current());
    }
  }
  if (!inside || walk.malformed()) return false;
  return out->endpoint_count == out->descriptor->bNumEndpoints;
}

const USB_INTERFACE_DESCRIPTOR* find_interface(const USB_CONFIGURATION_DESCRIPTOR* cd, LONG number,
                                               LONG alternate) {
  return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(USBD_ParseConfigurationDescriptorEx(
      const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd), const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd),
      number, alternate, -1, -1, -1));
}

size_t usable_configuration_length(const USB_CONFIGURATION_DESCRIPTOR* cd) {
  return usable_configuration_bytes(cd);
}

}  // namespace host::usb

using host::usb::DescriptorWalk;

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  size_t total = TotalLength;
  size_t known = host::usb::known_descriptor_bytes(DescriptorBuffer);
  size_t block = 0;
  if (host::pool_block_info(DescriptorBuffer, &block, nullptr) && block < known) known = block;
  if (total > known) total = known;
  const UCHAR* base = static_cast<const UCHAR*>(DescriptorBuffer);
  const UCHAR* start = static_cast<const UCHAR*>(StartPosition);
  if (start < base || start >= base + total) return nullptr;
  // Walk from the beginning so that a start position inside a descriptor
  // cannot misalign the walk.
  DescriptorWalk walk(base, total);
  for (bool ok = walk.first(); ok; ok = walk.next()) {
    if (walk.current() >= start && (DescriptorType == -1 || walk.type() == DescriptorType)) {
      return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(walk.current()));
    }
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  size_t total = host::usb::usable_configuration_bytes(ConfigurationDescriptor);
  if (total == 0 || StartPosition == nullptr) return nullptr;
  const UCHAR* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* start = static_cast<const UCHAR*>(StartPosition);
  if (start < base || start >= base + total) return nullptr;
  DescriptorWalk walk(base, total);
  if (!walk.first()) return nullptr;
  while (walk.next()) {
    if (walk.current() < start || walk.type() != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(walk.current());
    if (host::usb::matches(InterfaceNumber, d->bInterfaceNumber) &&
        host::usb::matches(AlternateSetting, d->bAlternateSetting) &&
        host::usb::matches(InterfaceClass, d->bInterfaceClass) &&
        host::usb::matches(InterfaceSubClass, d->bInterfaceSubClass) &&
        host::usb::matches(InterfaceProtocol, d->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  using namespace host::usb;
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  if (usable_configuration_bytes(ConfigurationDescriptor) == 0) return nullptr;

  // First pass: validate every listed interface and size the request.
  constexpr size_t kMaxInterfaces = 32;
  ParsedInterface parsed[kMaxInterfaces];
  size_t count = 0;
  size_t host_size = kHostSelectConfigurationFixed;
  uint32_t x86_size = kX86SelectConfigurationFixed;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    if (count == kMaxInterfaces) return nullptr;
    if (!parse_interface(ConfigurationDescriptor, e->InterfaceDescriptor, &parsed[count])) {
      return nullptr;
    }
    host_size += host_interface_length(parsed[count].endpoint_count);
    x86_size += x86_interface_length(parsed[count].endpoint_count);
    ++count;
  }
  if (count == 0 || x86_size > 0xFFFF) return nullptr;
  if (host_size < sizeof(struct _URB_SELECT_CONFIGURATION)) {
    host_size = sizeof(struct _URB_SELECT_CONFIGURATION);
  }

  constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, host_size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, host_size);
  urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(x86_size);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  UCHAR* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (size_t i = 0; i < count; ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    const USB_INTERFACE_DESCRIPTOR* d = parsed[i].descriptor;
    info->Length = static_cast<USHORT>(host_interface_length(parsed[i].endpoint_count));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->NumberOfPipes = parsed[i].endpoint_count;
    for (unsigned p = 0; p < parsed[i].endpoint_count; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    InterfaceList[i].Interface = info;
    at += info->Length;
  }
  return urb;
}

void NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = 0x00000500;  // the Windows XP interface
  VersionInformation->Supported_USB_Version = 0x0200;
}

}  // extern "C"
