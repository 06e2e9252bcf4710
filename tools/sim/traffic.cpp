#include "traffic.h"

#include <algorithm>
#include <cstring>

namespace usbeth::sim {
namespace {

// The pattern byte at `index` of frame `sequence` is (sequence * 7 + index)
// mod 256: a run of consecutive byte values, so a frame's whole pattern is
// one slice of this ramp and is written and compared with one copy.
constexpr size_t kMaxPattern = 0xFFFF;  // the length field's reach
struct Ramp {
  std::array<uint8_t, 256 + kMaxPattern> bytes;
  constexpr Ramp() : bytes() {
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<uint8_t>(i);
  }
};
const Ramp kRamp;

const uint8_t* pattern(uint32_t sequence) {
  return kRamp.bytes.data() + static_cast<uint8_t>(sequence * 7 + kCheckedHeaderBytes);
}

}  // namespace

std::vector<uint8_t> make_checked_frame(const Mac& dst, const Mac& src, uint32_t sequence,
                                        unsigned size) {
  size = std::clamp<unsigned>(size, kCheckedHeaderBytes, kMaxPattern);
  std::vector<uint8_t> f(size);
  std::copy(dst.begin(), dst.end(), f.begin());
  std::copy(src.begin(), src.end(), f.begin() + 6);
  f[12] = kCheckedEtherType >> 8;
  f[13] = kCheckedEtherType & 0xFF;
  f[14] = static_cast<uint8_t>(size >> 8);
  f[15] = static_cast<uint8_t>(size);
  for (int i = 0; i < 4; ++i)
    f[16 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
  std::memcpy(f.data() + kCheckedHeaderBytes, pattern(sequence), size - kCheckedHeaderBytes);
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
  if (std::memcmp(bytes.data() + kCheckedHeaderBytes, pattern(out.sequence),
                  out.size - kCheckedHeaderBytes) != 0) {
    return out;
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
  // The books grow by doubling: one resize per frame would cost as much as
  // the rest of the check.
  auto grow_to = [](std::vector<bool>& v, uint32_t sequence) {
    if (v.size() <= sequence) v.resize(std::max<size_t>(sequence + 1, v.size() * 2));
  };
  std::vector<bool>& on_path = path == 0 ? seen_on_first_ : seen_on_[path];
  grow_to(on_path, frame.sequence);
  if (on_path[frame.sequence]) {
    ++duplicated_;
    return;
  }
  on_path[frame.sequence] = true;
  grow_to(seen_, frame.sequence);
  if (seen_[frame.sequence]) return;
  seen_[frame.sequence] = true;
  ++good_;
  bytes_good_ += frame.size;
}

}  // namespace usbeth::sim
