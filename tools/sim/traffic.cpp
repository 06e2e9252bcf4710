#include "traffic.h"

#include <algorithm>

namespace usbeth::sim {
namespace {

uint8_t pattern_byte(uint32_t sequence, size_t index) {
  return static_cast<uint8_t>(sequence * 7 + index);
}

}  // namespace

std::vector<uint8_t> make_checked_frame(const Mac& dst, const Mac& src, uint32_t sequence,
                                        unsigned size) {
  size = std::max(size, kCheckedHeaderBytes);
  std::vector<uint8_t> f(size);
  std::copy(dst.begin(), dst.end(), f.begin());
  std::copy(src.begin(), src.end(), f.begin() + 6);
  f[12] = kCheckedEtherType >> 8;
  f[13] = kCheckedEtherType & 0xFF;
  f[14] = static_cast<uint8_t>(size >> 8);
  f[15] = static_cast<uint8_t>(size);
  for (int i = 0; i < 4; ++i)
    f[16 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
  for (size_t i = kCheckedHeaderBytes; i < size; ++i)
    f[i] = pattern_byte(sequence, i);
  return f;
}

CheckedFrame check_frame(const std::vector<uint8_t>& bytes, const Mac& dst, const Mac& src) {
  CheckedFrame out;
  if (bytes.size() < 14 || bytes[12] != (kCheckedEtherType >> 8) ||
      bytes[13] != (kCheckedEtherType & 0xFF)) {
    return out;
  }
  out.check = FrameCheck::Corrupt;
  if (bytes.size() < kCheckedHeaderBytes) return out;
  out.size = static_cast<unsigned>(bytes[14] << 8 | bytes[15]);
  for (int i = 0; i < 4; ++i)
    out.sequence = out.sequence << 8 | bytes[16 + i];
  // The MAC pads short frames; anything beyond the announced length is padding.
  if (out.size < kCheckedHeaderBytes || bytes.size() < out.size) return out;
  if (!std::equal(dst.begin(), dst.end(), bytes.begin()) ||
      !std::equal(src.begin(), src.end(), bytes.begin() + 6)) {
    return out;
  }
  for (size_t i = kCheckedHeaderBytes; i < out.size; ++i) {
    if (bytes[i] != pattern_byte(out.sequence, i)) return out;
  }
  out.check = FrameCheck::Good;
  return out;
}

void StreamCheck::arrived(const CheckedFrame& frame, unsigned path) {
  if (frame.check == FrameCheck::NotChecked) return;
  if (frame.check == FrameCheck::Corrupt || frame.sequence >= sent_) {
    ++corrupt_;
    return;
  }
  std::vector<bool>& on_path = seen_on_[path];
  if (on_path.size() <= frame.sequence) on_path.resize(frame.sequence + 1);
  if (on_path[frame.sequence]) {
    ++duplicated_;
    return;
  }
  on_path[frame.sequence] = true;
  if (seen_.size() <= frame.sequence) seen_.resize(frame.sequence + 1);
  if (seen_[frame.sequence]) return;
  seen_[frame.sequence] = true;
  ++good_;
  bytes_good_ += frame.size;
}

}  // namespace usbeth::sim
