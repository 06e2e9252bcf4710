// Stress frames and their checking. Every frame names its flow (one sender)
// and its place in that flow's sequence, carries its own length, a pattern
// derived from both, and a checksum over the whole frame. A FlowChecker sees
// each frame where it arrives and catches damage, duplicates and reordering
// at once; after the run it accounts for every frame that was sent: arrived,
// or lost with a named cause.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbeth::stress {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

constexpr uint16_t kEtherType = 0x88B5;  // local experimental
constexpr size_t kMinFrame = 60;         // without the frame check sequence
constexpr size_t kMaxFrame = 1514;
// Ethernet header, magic, flow, sequence, length, checksum.
constexpr size_t kHeaderBytes = 24;
constexpr size_t kChecksumBytes = 4;

struct FrameId {
  uint8_t flow = 0;
  uint32_t seq = 0;
};

// A frame of `length` bytes (kMinFrame..kMaxFrame) for the flow's `seq`.
Bytes MakeFrame(const Mac& dst, const Mac& src, uint8_t flow, uint32_t seq, size_t length);

enum class Verdict {
  Ok,
  Foreign,    // not a stress frame (another ethertype)
  Corrupt,    // a stress frame whose length, pattern or checksum is wrong
  Duplicate,  // arrived before
  Reordered,  // arrived after a later frame of its flow
  Unknown,    // a flow or sequence number nobody sent
};
const char* VerdictName(Verdict v);

// Reads the flow and sequence number of an intact stress frame.
std::optional<FrameId> DecodeFrame(const uint8_t* data, size_t length);
// The flow and sequence number in the header of a frame already found intact.
FrameId HeaderId(const uint8_t* data);
// The verdict on the frame's contents alone (Ok, Foreign or Corrupt).
Verdict CheckContents(const uint8_t* data, size_t length);

class FlowChecker {
 public:
  // `flows` flows numbered from `first_flow`.
  FlowChecker(std::string name, uint8_t first_flow, unsigned flows);

  // The sender has handed the flow's frame `seq` on (frames are numbered from
  // 0 without gaps); a frame can only arrive or be lost once it was sent.
  void Sent(uint8_t flow, uint32_t seq);

  // A frame arrived. `order_key` orders arrivals where the place a frame is
  // seen at may report them out of order (the wire's time): order is then
  // judged by the key, not by the order of the calls. Without a key, calls
  // are taken to be in arrival order.
  Verdict Arrive(const uint8_t* data, size_t length, std::optional<uint64_t> order_key = {});

  // A frame ended somewhere other than its destination, for `cause`, at
  // `time`. Returns false (and records an error) when it is not a stress
  // frame of a known flow.
  bool Lost(const uint8_t* data, size_t length, const std::string& cause, uint64_t time);
  // The same for a frame known by its flow and sequence number.
  bool Lost(FrameId id, const std::string& cause, uint64_t time);

  struct Loss {
    std::string cause;
    uint64_t time = 0;
  };
  // Asked, at accounting, about each sent frame that neither arrived nor was
  // reported lost: a cause that explains it, or nullopt.
  using Explain = std::function<std::optional<std::string>(FrameId id)>;

  // After traffic has ended: every frame sent arrived exactly once or was
  // lost exactly once (or is explained), never both; returns the number of
  // new errors. Checks the order of keyed arrivals over the whole run too.
  size_t Account(const Explain& explain = {});

  // Losses reported through Lost(), for callers that judge them (each with
  // its flow and sequence number).
  std::vector<std::pair<FrameId, Loss>> Losses() const;

  uint64_t arrived() const;
  uint64_t lost() const;  // losses reported through Lost()
  uint64_t sent() const;
  uint64_t sent(uint8_t flow) const;
  uint64_t errors() const;
  // Losses and explanations by cause.
  std::map<std::string, uint64_t> losses_by_cause() const;
  // Errors by kind, and the first few described.
  std::map<std::string, uint64_t> errors_by_kind() const;
  std::vector<std::string> error_details() const;
  // Records an error found by the caller (counted and described like the
  // checker's own).
  void Error(const std::string& kind, const std::string& detail);

 private:
  struct Flow {
    uint64_t sent = 0;
    std::vector<uint64_t> arrived_bits;
    std::vector<uint64_t> keys;  // order key per sequence number (keyed arrivals)
    int64_t highest = -1;        // highest sequence number arrived
    uint64_t highest_key = 0;
    std::map<uint32_t, Loss> lost;
  };
  bool Arrived(const Flow& f, uint32_t seq) const;
  void ErrorLocked(const std::string& kind, const std::string& detail);
  std::string Describe(uint8_t flow, uint32_t seq) const;

  std::string name_;
  uint8_t first_flow_;
  mutable std::mutex mutex_;
  std::vector<Flow> flows_;
  uint64_t arrived_ = 0;
  uint64_t lost_ = 0;
  uint64_t errors_ = 0;
  std::map<std::string, uint64_t> causes_;
  std::map<std::string, uint64_t> error_kinds_;
  std::vector<std::string> details_;
};

}  // namespace usbeth::stress
