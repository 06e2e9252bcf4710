#include "frame_check.h"

#include <algorithm>
#include <cstdio>

namespace usbeth::stress {
namespace {

constexpr uint8_t kMagic0 = 'S';
constexpr uint8_t kMagic1 = 'T';
constexpr size_t kMaxDetails = 20;

uint32_t Fnv1a(const uint8_t* data, size_t length) {
  uint32_t h = 0x811C9DC5u;
  for (size_t i = 0; i < length; ++i) {
    h ^= data[i];
    h *= 0x01000193u;
  }
  return h;
}

uint8_t PatternByte(uint8_t flow, uint32_t seq, size_t i) {
  return static_cast<uint8_t>(i * 31 + seq * 7 + (seq >> 8) + flow * 101 + (i >> 8));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

Bytes MakeFrame(const Mac& dst, const Mac& src, uint8_t flow, uint32_t seq, size_t length) {
  if (length < kMinFrame) length = kMinFrame;
  if (length > kMaxFrame) length = kMaxFrame;
  Bytes f(length);
  std::copy(dst.begin(), dst.end(), f.begin());
  std::copy(src.begin(), src.end(), f.begin() + 6);
  f[12] = kEtherType >> 8;
  f[13] = kEtherType & 0xFF;
  f[14] = kMagic0;
  f[15] = kMagic1;
  f[16] = flow;
  f[17] = 0;
  Put32(&f[18], seq);
  f[22] = static_cast<uint8_t>(length);
  f[23] = static_cast<uint8_t>(length >> 8);
  for (size_t i = kHeaderBytes; i < length - kChecksumBytes; ++i)
    f[i] = PatternByte(flow, seq, i);
  Put32(&f[length - kChecksumBytes], Fnv1a(f.data(), length - kChecksumBytes));
  return f;
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Ok:
      return "ok";
    case Verdict::Foreign:
      return "foreign";
    case Verdict::Corrupt:
      return "corrupt";
    case Verdict::Duplicate:
      return "duplicate";
    case Verdict::Reordered:
      return "reordered";
    case Verdict::Unknown:
      return "unknown";
  }
  return "?";
}

Verdict CheckContents(const uint8_t* data, size_t length) {
  if (length < 14 || data[12] != (kEtherType >> 8) || data[13] != (kEtherType & 0xFF)) {
    return Verdict::Foreign;
  }
  if (length < kHeaderBytes + kChecksumBytes || data[14] != kMagic0 || data[15] != kMagic1) {
    return Verdict::Corrupt;
  }
  const size_t claimed = size_t(data[22]) | size_t(data[23]) << 8;
  if (claimed != length) return Verdict::Corrupt;
  if (Get32(data + length - kChecksumBytes) != Fnv1a(data, length - kChecksumBytes)) {
    return Verdict::Corrupt;
  }
  const uint8_t flow = data[16];
  const uint32_t seq = Get32(data + 18);
  for (size_t i = kHeaderBytes; i < length - kChecksumBytes; ++i) {
    if (data[i] != PatternByte(flow, seq, i)) return Verdict::Corrupt;
  }
  return Verdict::Ok;
}

FrameId HeaderId(const uint8_t* data) {
  return FrameId{data[16], Get32(data + 18)};
}

std::optional<FrameId> DecodeFrame(const uint8_t* data, size_t length) {
  if (CheckContents(data, length) != Verdict::Ok) return std::nullopt;
  return HeaderId(data);
}

FlowChecker::FlowChecker(std::string name, uint8_t first_flow, unsigned flows)
    : name_(std::move(name)), first_flow_(first_flow), flows_(flows) {}

void FlowChecker::Sent(uint8_t flow, uint32_t seq) {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned index = flow - first_flow_;
  if (flow < first_flow_ || index >= flows_.size()) return;
  Flow& f = flows_[index];
  if (seq + uint64_t{1} > f.sent) f.sent = seq + uint64_t{1};
}

bool FlowChecker::Arrived(const Flow& f, uint32_t seq) const {
  return seq / 64 < f.arrived_bits.size() && (f.arrived_bits[seq / 64] >> (seq % 64)) & 1;
}

std::string FlowChecker::Describe(uint8_t flow, uint32_t seq) const {
  char text[96];
  std::snprintf(text, sizeof text, "%s: flow %u frame %u", name_.c_str(), unsigned(flow),
                static_cast<unsigned>(seq));
  return text;
}

void FlowChecker::ErrorLocked(const std::string& kind, const std::string& detail) {
  ++errors_;
  ++error_kinds_[kind];
  if (details_.size() < kMaxDetails) details_.push_back(kind + ": " + detail);
}

void FlowChecker::Error(const std::string& kind, const std::string& detail) {
  std::lock_guard<std::mutex> lock(mutex_);
  ErrorLocked(kind, detail);
}

Verdict FlowChecker::Arrive(const uint8_t* data, size_t length, std::optional<uint64_t> order_key) {
  Verdict contents = CheckContents(data, length);
  std::lock_guard<std::mutex> lock(mutex_);
  if (contents == Verdict::Foreign) return contents;
  if (contents == Verdict::Corrupt) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: a frame of %zu bytes (flow byte %u, claims %u bytes)",
                  name_.c_str(), length, length > 16 ? unsigned(data[16]) : 0u,
                  length > 23 ? unsigned(data[22] | data[23] << 8) : 0u);
    ErrorLocked("corrupt", text);
    return contents;
  }
  const uint8_t flow = data[16];
  const uint32_t seq = Get32(data + 18);
  const unsigned index = flow - first_flow_;
  if (flow < first_flow_ || index >= flows_.size() || seq >= flows_[index].sent) {
    ErrorLocked("unknown", Describe(flow, seq) + ", never sent");
    return Verdict::Unknown;
  }
  Flow& f = flows_[index];
  if (Arrived(f, seq)) {
    ErrorLocked("duplicate", Describe(flow, seq) + " arrived twice");
    return Verdict::Duplicate;
  }
  if (seq / 64 >= f.arrived_bits.size()) {
    f.arrived_bits.resize(std::max<size_t>(seq / 64 + 1, 2 * f.arrived_bits.size()), 0);
  }
  f.arrived_bits[seq / 64] |= uint64_t{1} << (seq % 64);
  ++arrived_;
  Verdict verdict = Verdict::Ok;
  if (order_key) {
    if (seq >= f.keys.size()) f.keys.resize(std::max<size_t>(seq + 1, 2 * f.keys.size()), 0);
    f.keys[seq] = *order_key;
    // A lower sequence number later on the wire than a higher one, or a
    // higher one earlier: the two crossed.
    const bool crossed =
        f.highest >= 0 && ((int64_t(seq) < f.highest && *order_key > f.highest_key) ||
                           (int64_t(seq) > f.highest && *order_key < f.highest_key));
    if (crossed) {
      char text[64];
      std::snprintf(text, sizeof text, " crossed frame %lld", static_cast<long long>(f.highest));
      ErrorLocked("reordered", Describe(flow, seq) + text);
      verdict = Verdict::Reordered;
    }
  } else if (int64_t(seq) < f.highest) {
    char text[64];
    std::snprintf(text, sizeof text, " after frame %lld", static_cast<long long>(f.highest));
    ErrorLocked("reordered", Describe(flow, seq) + text);
    verdict = Verdict::Reordered;
  }
  if (int64_t(seq) > f.highest) {
    f.highest = seq;
    if (order_key) f.highest_key = *order_key;
  }
  return verdict;
}

bool FlowChecker::Lost(const uint8_t* data, size_t length, const std::string& cause,
                       uint64_t time) {
  std::optional<FrameId> id = DecodeFrame(data, length);
  if (!id) {
    if (CheckContents(data, length) == Verdict::Foreign) return false;
    Error("corrupt", name_ + ": a damaged frame was lost (" + cause + ")");
    return false;
  }
  return Lost(*id, cause, time);
}

bool FlowChecker::Lost(FrameId id, const std::string& cause, uint64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned index = id.flow - first_flow_;
  if (id.flow < first_flow_ || index >= flows_.size() || id.seq >= flows_[index].sent) {
    ErrorLocked("unknown", Describe(id.flow, id.seq) + ", never sent, was lost (" + cause + ")");
    return false;
  }
  auto inserted = flows_[index].lost.emplace(id.seq, Loss{cause, time});
  if (!inserted.second) {
    ErrorLocked("lost twice", Describe(id.flow, id.seq) + " (" + inserted.first->second.cause +
                                  ", then " + cause + ")");
    return false;
  }
  ++lost_;
  return true;
}

size_t FlowChecker::Account(const Explain& explain) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t errors_before = errors_;
  for (unsigned index = 0; index < flows_.size(); ++index) {
    const uint8_t flow = static_cast<uint8_t>(first_flow_ + index);
    Flow& f = flows_[index];
    bool keyed_before = false;
    uint64_t previous_key = 0;
    uint32_t previous_seq = 0;
    for (uint64_t s = 0; s < f.sent; ++s) {
      const uint32_t seq = static_cast<uint32_t>(s);
      const bool arrived = Arrived(f, seq);
      auto lost = f.lost.find(seq);
      if (arrived && lost != f.lost.end()) {
        ErrorLocked("arrived and lost", Describe(flow, seq) + " arrived, and was also lost (" +
                                            lost->second.cause + ")");
      } else if (lost != f.lost.end()) {
        ++causes_[lost->second.cause];
      } else if (!arrived) {
        std::optional<std::string> cause;
        if (explain) {
          lock.unlock();
          cause = explain(FrameId{flow, seq});
          lock.lock();
        }
        if (cause) {
          ++causes_[*cause];
        } else {
          ErrorLocked("missing", Describe(flow, seq) + " neither arrived nor was lost");
        }
      }
      if (arrived && seq < f.keys.size() && f.keys[seq] != 0) {
        if (keyed_before && f.keys[seq] <= previous_key) {
          char text[64];
          std::snprintf(text, sizeof text, " came no later than frame %u", previous_seq);
          ErrorLocked("reordered", Describe(flow, seq) + text);
        }
        keyed_before = true;
        previous_key = f.keys[seq];
        previous_seq = seq;
      }
    }
  }
  return errors_ - errors_before;
}

std::vector<std::pair<FrameId, FlowChecker::Loss>> FlowChecker::Losses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<FrameId, Loss>> out;
  for (unsigned index = 0; index < flows_.size(); ++index) {
    for (const auto& [seq, loss] : flows_[index].lost)
      out.push_back({FrameId{static_cast<uint8_t>(first_flow_ + index), seq}, loss});
  }
  return out;
}

uint64_t FlowChecker::arrived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrived_;
}

uint64_t FlowChecker::lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

uint64_t FlowChecker::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t n = 0;
  for (const Flow& f : flows_)
    n += f.sent;
  return n;
}

uint64_t FlowChecker::sent(uint8_t flow) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned index = flow - first_flow_;
  return flow < first_flow_ || index >= flows_.size() ? 0 : flows_[index].sent;
}

uint64_t FlowChecker::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

std::map<std::string, uint64_t> FlowChecker::losses_by_cause() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return causes_;
}

std::map<std::string, uint64_t> FlowChecker::errors_by_kind() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_kinds_;
}

std::vector<std::string> FlowChecker::error_details() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return details_;
}

}  // namespace usbeth::stress
