// Test frames that carry their own check: the simulator sends them both ways
// and checks, on the far side, that each arrived whole and only once.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace usbeth::sim {

using Mac = std::array<uint8_t, 6>;

// Local experimental EtherType, so that checked frames stand out in captures
// from anything else on the wire (keep-alive frames, for one).
constexpr uint16_t kCheckedEtherType = 0x88B5;
// Bytes before the pattern: addresses, type, length (2), sequence (4).
constexpr unsigned kCheckedHeaderBytes = 20;

// A frame of `size` bytes (raised to kCheckedHeaderBytes when smaller) from
// `src` to `dst` whose payload is derived from `sequence`.
std::vector<uint8_t> make_checked_frame(const Mac& dst, const Mac& src, uint32_t sequence,
                                        unsigned size);

enum class FrameCheck {
  NotChecked,  // some other frame (not of the checked type)
  Good,
  Corrupt,  // checked type, but the length or the pattern is wrong
};

struct CheckedFrame {
  FrameCheck check = FrameCheck::NotChecked;
  uint32_t sequence = 0;
  unsigned size = 0;  // as the sender made it
};

// Checks `bytes` (destination first, maybe padded by the MAC, no FCS) against
// the pattern its header announces, from the expected sender to the expected
// receiver.
CheckedFrame check_frame(const std::vector<uint8_t>& bytes, const Mac& dst, const Mac& src);

// Counts per direction: what was sent, what arrived intact, what arrived
// damaged or twice, and what never arrived (link down, filtered, dropped).
class StreamCheck {
 public:
  uint32_t next_sequence() { return sent_++; }
  // `path` tells apart the places a frame can arrive at (the cable of each
  // PHY: the MAC puts each frame on every PHY that carries traffic); a frame
  // seen twice on the same path is a duplicate.
  void arrived(const CheckedFrame& frame, unsigned path = 0);
  uint64_t sent() const { return sent_; }
  uint64_t good() const { return good_; }
  uint64_t corrupt() const { return corrupt_; }
  uint64_t duplicated() const { return duplicated_; }
  uint64_t missing() const { return sent_ - good_; }
  uint64_t bytes_good() const { return bytes_good_; }

 private:
  uint32_t sent_ = 0;
  uint64_t good_ = 0;
  uint64_t corrupt_ = 0;
  uint64_t duplicated_ = 0;
  uint64_t bytes_good_ = 0;
  std::vector<bool> seen_;                         // on any path
  std::vector<bool> seen_on_first_;                // on path 0, the usual one
  std::map<unsigned, std::vector<bool>> seen_on_;  // on the other paths
};

}  // namespace usbeth::sim
