// Where configuration descriptors end. The USBD parsing routines receive only a
// pointer, and a device may claim a wTotalLength longer than what it actually
// sent or than the caller's buffer holds. The bus driver records every buffer it
// fills with a configuration descriptor, with the number of bytes it wrote, so
// that the parsers never read beyond them; tests record their own buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::usb {

// Records that `length` bytes starting at `start` hold descriptor data
// (replacing any record that overlaps them).
void note_descriptor_bytes(const void* start, size_t length);
// Drops every record that overlaps [start, start + length).
void forget_descriptor_bytes(const void* start, size_t length);

// Bytes known to be readable from `p` on, or SIZE_MAX when `p` lies in no
// recorded region (the parsers then go by wTotalLength alone).
size_t known_descriptor_bytes(const void* p);

// Records a region for the lifetime of the object (tests).
class ScopedDescriptorBytes {
 public:
  ScopedDescriptorBytes(const void* start, size_t length) : start_(start), length_(length) {
    note_descriptor_bytes(start, length);
  }
  ~ScopedDescriptorBytes() { forget_descriptor_bytes(start_, length_); }
  ScopedDescriptorBytes(const ScopedDescriptorBytes&) = delete;
  ScopedDescriptorBytes& operator=(const ScopedDescriptorBytes&) = delete;

 private:
  const void* start_;
  size_t length_;
};

}  // namespace host::usb
