// The pool: every block carries a header (tag, size, magic, state) and guard
// bytes after it. Freed blocks are kept a while, filled with a pattern, so a
// second free is recognised as such and stale reads see the pattern.
#include "nt/pool.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>

#include "sim/host_mutex.h"
#include "sim/kernel.h"
#include "sim/pointer_map.h"
#include "sim/ring.h"
#include "wdk_nt.h"

namespace host {
namespace {

constexpr uint32_t kLiveMagic = 0x4C6F6F50;    // "PooL"
constexpr uint32_t kFreedMagic = 0x65657246;   // "Free"
constexpr uint32_t kParkedMagic = 0x6B726150;  // "Park"
constexpr uint8_t kGuardFill = 0xFD;
constexpr size_t kQuarantineBlocks = 4096;

struct alignas(16) BlockHeader {
  uint32_t magic;
  uint32_t tag;
  uint64_t size;
  const char* site;
  uint64_t serial;
};

struct TimerEntry {
  std::function<bool()> is_armed;
  std::string what;
};

struct PoolState {
  host::HostMutex mutex;
  PointerSet<BlockHeader*> live;
  // Freed blocks still held, oldest first. Only a bad free looks for a block
  // here (to tell a second free from a pointer that was never a block), so a
  // plain queue serves: no book to update per free.
  Ring<BlockHeader*> quarantine_order{kQuarantineBlocks + 1};
  uint64_t serial = 0;
  // Timer objects by address, under the same lock: a free looks for the
  // timers in its block in the same locked step that takes the block back.
  std::map<uintptr_t, TimerEntry> timers;
  // Of the live blocks, those parked by their owners.
  size_t parked = 0;
};

PoolState& state() {
  static PoolState* s = new PoolState;  // outlives every static destructor
  return *s;
}

std::string hex(uintptr_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

BlockHeader* header_of(const void* p) {
  return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(p)) -
                                        sizeof(BlockHeader));
}
uint8_t* body_of(BlockHeader* h) {
  return reinterpret_cast<uint8_t*>(h + 1);
}

std::string describe(BlockHeader* h) {
  return "block " + hex(reinterpret_cast<uintptr_t>(body_of(h))) + " tag '" + tag_string(h->tag) +
         "' size " + std::to_string(h->size) + " from " + (h->site ? h->site : "?");
}

// Bug checks for a freed block whose timers are still armed; forgets the rest.
// `inside` are the timers registered in the block, taken from the books
// under the lock; the predicates may take the NDIS layer's own locks, so they
// are called with the pool's lock released.
void check_timers_in(std::vector<std::pair<uintptr_t, TimerEntry>>& inside, const char* what) {
  for (auto& [addr, entry] : inside) {
    if (entry.is_armed && entry.is_armed()) {
      bug_check("TIMER_IN_FREED_MEMORY", std::string(what) + " frees memory holding " + entry.what +
                                             " at " + hex(addr) +
                                             ", which is still armed or running");
    }
  }
}

// Whether timers are registered in [begin, begin + size); under the lock.
bool timers_inside(PoolState& s, uint8_t* begin, size_t size,
                   std::map<uintptr_t, TimerEntry>::iterator& lo,
                   std::map<uintptr_t, TimerEntry>::iterator& hi) {
  if (s.timers.empty()) return false;
  const uintptr_t end = reinterpret_cast<uintptr_t>(begin) + (size ? size : 1);
  lo = s.timers.lower_bound(reinterpret_cast<uintptr_t>(begin));
  // Nearly every block holds none: one search tells.
  if (lo == s.timers.end() || lo->first >= end) return false;
  hi = s.timers.lower_bound(end);
  return true;
}

// The offset of the first byte of a freed block that no longer holds the
// freed fill; the block's size when none. Compared a page at a time.
size_t first_written_after_free(BlockHeader* h) {
  static const auto* fill = [] {
    auto* bytes = new std::array<uint8_t, 4096>;
    bytes->fill(kPoolFreedFill);
    return bytes;
  }();
  const uint8_t* body = body_of(h);
  for (size_t at = 0; at < h->size; at += fill->size()) {
    const size_t n = std::min(fill->size(), static_cast<size_t>(h->size - at));
    if (std::memcmp(body + at, fill->data(), n) == 0) continue;
    for (size_t i = at;; ++i)
      if (body[i] != kPoolFreedFill) return i;
  }
  return h->size;
}

void check_guard(BlockHeader* h, const char* what) {
  const uint8_t* guard = body_of(h) + h->size;
  // Two words compared at every free; the bytes only to say which changed.
  static_assert(kPoolGuardBytes == 2 * sizeof(uint64_t), "the guard is two words");
  constexpr uint64_t kGuardWord = 0x0101010101010101ull * kGuardFill;
  uint64_t words[2];
  std::memcpy(words, guard, sizeof words);
  if (words[0] == kGuardWord && words[1] == kGuardWord) return;
  for (size_t i = 0; i < kPoolGuardBytes; ++i) {
    if (guard[i] != kGuardFill) {
      bug_check("POOL_CORRUPTION", std::string(what) + ": " + describe(h) +
                                       " was overrun (guard byte " + std::to_string(i) +
                                       " past the end changed)");
    }
  }
}

}  // namespace

void* pool_allocate(size_t size, uint32_t tag, const char* site, bool inject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("BAD_POOL_CALLER", std::string(site ? site : "pool") + " above DISPATCH_LEVEL");
  }
  if (inject && faults().should_fail(FaultSite::PoolAllocation)) return nullptr;
  if (inject && tag != 0 && tag == faults().urb_tag() &&
      faults().should_fail(FaultSite::UrbAllocation)) {
    return nullptr;
  }
  if (size > (1ull << 32)) return nullptr;
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size + kPoolGuardBytes));
  if (!h) return nullptr;
  h->magic = kLiveMagic;
  h->tag = tag;
  h->size = size;
  h->site = site;
  std::memset(body_of(h), kPoolAllocatedFill, size);
  std::memset(body_of(h) + size, kGuardFill, kPoolGuardBytes);
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  h->serial = ++s.serial;
  s.live.insert(h);
  Counters& c = counters();
  ++c.pool_allocations;
  c.pool_bytes_live += static_cast<int64_t>(size);
  return body_of(h);
}

// The owner of a parked block knows it for one of its own: neither call
// looks it up. The header changes under the lock, which the leak reports
// read it under; the body is the owner's alone.
void pool_park(void* ptr, size_t expected_size, const char* what, uint32_t expected_tag) {
  BlockHeader* h = header_of(ptr);
  PoolState& s = state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (h->magic != kLiveMagic || h->size != expected_size || h->tag != expected_tag) {
      bug_check("POOL_CORRUPTION", std::string(what) + ": the header of " +
                                       hex(reinterpret_cast<uintptr_t>(ptr)) + " was overwritten");
    }
    check_guard(h, what);
    h->magic = kParkedMagic;
    ++s.parked;
  }
  std::memset(body_of(h), kPoolFreedFill, expected_size);
}

void pool_unpark(void* ptr, const char* what) {
  BlockHeader* h = header_of(ptr);
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (h->magic != kParkedMagic) {
    bug_check("POOL_CORRUPTION", std::string(what) + ": the header of parked block " +
                                     hex(reinterpret_cast<uintptr_t>(ptr)) + " was overwritten");
  }
  const size_t written = first_written_after_free(h);
  if (written != h->size) {
    bug_check("POOL_CORRUPTION", std::string(what) + ": parked " + describe(h) + ", byte " +
                                     std::to_string(written) + " was written after its free");
  }
  check_guard(h, what);
  h->magic = kLiveMagic;
  --s.parked;
}

void* SpareBlocks::take(size_t size, const char* what) {
  if (blocks_.size() <= age_ || blocks_.front().size != size) return nullptr;
  void* ptr = blocks_.front().ptr;
  blocks_.pop_front();
  pool_unpark(ptr, what);
  return ptr;
}

SpareBlocks::Block SpareBlocks::keep(void* ptr, size_t size, uint32_t tag, const char* what) {
  pool_park(ptr, size, what, tag);
  Block oldest;
  if (blocks_.full()) oldest = release_oldest(what);
  blocks_.push_back({ptr, size});
  return oldest;
}

SpareBlocks::Block SpareBlocks::release_oldest(const char* what) {
  if (blocks_.empty()) return {};
  Block oldest = blocks_.front();
  blocks_.pop_front();
  pool_unpark(oldest.ptr, what);
  return oldest;
}

void pool_free(void* ptr, size_t expected_size, const char* what, uint32_t expected_tag) {
  const char* name = what ? what : "pool_free";
  if (!ptr) bug_check("BAD_POOL_CALLER", std::string(name) + " of a null pointer");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("BAD_POOL_CALLER", std::string(name) + " above DISPATCH_LEVEL");
  }
  PoolState& s = state();
  BlockHeader* h = header_of(ptr);
  std::unique_lock<host::HostMutex> lock(s.mutex);
  if (!s.live.count(h)) {
    if (s.quarantine_order.contains(h)) {
      bug_check("POOL_DOUBLE_FREE", std::string(name) + " frees " +
                                        hex(reinterpret_cast<uintptr_t>(ptr)) + " (tag '" +
                                        tag_string(h->tag) + "') a second time");
    }
    bug_check("BAD_POOL_CALLER", std::string(name) + " of " +
                                     hex(reinterpret_cast<uintptr_t>(ptr)) +
                                     ", which is not a pool block");
  }
  if (h->magic == kParkedMagic) {
    bug_check("POOL_DOUBLE_FREE",
              std::string(name) + " frees " + hex(reinterpret_cast<uintptr_t>(ptr)) + " (tag '" +
                  tag_string(h->tag) + "'), which was freed already and is kept for reuse");
  }
  if (h->magic != kLiveMagic) {
    bug_check("POOL_CORRUPTION", std::string(name) + ": the header of " +
                                     hex(reinterpret_cast<uintptr_t>(ptr)) + " was overwritten");
  }
  if (expected_size && expected_size != h->size) {
    bug_check("POOL_WRONG_SIZE", std::string(name) + " with length " +
                                     std::to_string(expected_size) + " of " + describe(h));
  }
  if (expected_tag && expected_tag != h->tag) {
    bug_check("BAD_POOL_CALLER",
              std::string(name) + " with tag '" + tag_string(expected_tag) + "' of " + describe(h));
  }
  check_guard(h, name);
  // Most blocks hold no timer: then the block is taken back in this one
  // locked step. One that does is checked with the lock released (the
  // timers' predicates take other locks) and taken back after.
  std::map<uintptr_t, TimerEntry>::iterator lo, hi;
  if (timers_inside(s, body_of(h), h->size, lo, hi)) {
    std::vector<std::pair<uintptr_t, TimerEntry>> inside(lo, hi);
    lock.unlock();
    check_timers_in(inside, name);
    lock.lock();
    for (auto& entry : inside)
      s.timers.erase(entry.first);
    if (!s.live.count(h)) {
      bug_check("POOL_DOUBLE_FREE", std::string(name) + " races another free of " + describe(h));
    }
  }
  s.live.erase(h);
  Counters& c = counters();
  ++c.pool_frees;
  c.pool_bytes_live -= static_cast<int64_t>(h->size);
  h->magic = kFreedMagic;
  std::memset(body_of(h), kPoolFreedFill, h->size);
  s.quarantine_order.push_back(h);
  if (s.quarantine_order.size() > kQuarantineBlocks) {
    BlockHeader* old = s.quarantine_order.front();
    s.quarantine_order.pop_front();
    // A block leaves the quarantine as it went in: a write to it after its
    // free is caught here, as the verifier's special pool would catch it.
    const size_t written = first_written_after_free(old);
    if (written != old->size) {
      const std::string where = describe(old) + ", byte " + std::to_string(written);
      std::free(old);
      bug_check("POOL_CORRUPTION",
                std::string(name) + ": freed " + where + " was written after its free");
    }
    std::free(old);
    // The blocks to leave next have gone cold in the meantime: fetch the
    // header of the one after next now, and the body of the next one (whose
    // header was fetched at the free before), so that the checks at the
    // coming frees find them in the cache rather than waiting for memory.
    __builtin_prefetch(s.quarantine_order[1]);
    BlockHeader* next = s.quarantine_order.front();
    const uint8_t* body = body_of(next);
    for (size_t at = 0; at < next->size; at += 64)
      __builtin_prefetch(body + at);
  }
}

bool pool_block_info(const void* ptr, size_t* size, uint32_t* tag) {
  if (!ptr) return false;
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  BlockHeader* h = header_of(ptr);
  if (!s.live.count(h)) return false;
  if (size) *size = h->size;
  if (tag) *tag = h->tag;
  return true;
}

void register_timer_object(void* addr, std::function<bool()> is_armed_or_running,
                           const char* what) {
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.timers[reinterpret_cast<uintptr_t>(addr)] =
      TimerEntry{std::move(is_armed_or_running), what ? what : "a timer"};
}

void unregister_timer_object(void* addr) {
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.timers.erase(reinterpret_cast<uintptr_t>(addr));
}

std::string pool_leak_report(uint32_t exclude_tag) {
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  std::map<uint32_t, std::pair<size_t, uint64_t>> by_tag;  // tag -> (blocks, bytes)
  std::map<uint64_t, BlockHeader*> by_serial;
  s.live.for_each([&](BlockHeader* h) {
    if (h->magic == kParkedMagic || (exclude_tag && h->tag == exclude_tag)) return;
    auto& entry = by_tag[h->tag];
    ++entry.first;
    entry.second += h->size;
    by_serial[h->serial] = h;
  });
  if (by_tag.empty()) return "";
  std::ostringstream out;
  out << by_serial.size() << " pool block(s) still allocated:";
  for (auto& [tag, entry] : by_tag) {
    out << "\n  tag '" << tag_string(tag) << "': " << entry.first << " block(s), " << entry.second
        << " bytes";
  }
  size_t shown = 0;
  for (auto& [serial, h] : by_serial) {
    if (++shown > 20) {
      out << "\n  ...";
      break;
    }
    out << "\n  " << describe(h);
  }
  return out.str();
}

void pool_reset() {
  PoolState& s = state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    s.live.for_each([](BlockHeader* h) { std::free(h); });
    s.quarantine_order.for_each([](BlockHeader* h) { std::free(h); });
    s.live.clear();
    s.quarantine_order.clear();
    s.timers.clear();
    s.parked = 0;
  }
}

size_t live_pool_blocks_with_tag(uint32_t tag) {
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  size_t n = 0;
  s.live.for_each([&](BlockHeader* h) { n += h->tag == tag && h->magic != kParkedMagic; });
  return n;
}

size_t live_pool_blocks() {
  PoolState& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  return s.live.size() - s.parked;
}

}  // namespace host

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (PoolType == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    host::bug_check("BAD_POOL_CALLER", "paged pool allocated at DISPATCH_LEVEL");
  }
  return host::pool_allocate(NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  if (PoolType == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    host::bug_check("BAD_POOL_CALLER", "paged pool allocated at DISPATCH_LEVEL");
  }
  return host::pool_allocate(NumberOfBytes, host::make_tag("None"), "ExAllocatePool");
}

void NTAPI ExFreePool(PVOID P) {
  host::pool_free(P, 0, "ExFreePool");
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  host::pool_free(P, 0, "ExFreePoolWithTag", Tag);
}

}  // extern "C"
