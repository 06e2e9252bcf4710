// Host-internal pool API. ExAllocatePoolWithTag and the NDIS memory calls are
// all served from this one pool, so leak reports, fault injection and the
// verifier's pool checks see every allocation the driver makes.
//
// Bug check codes raised here:
//   POOL_DOUBLE_FREE        a block freed twice
//   BAD_POOL_CALLER         free of an address that is not a pool block, a wrong
//                           tag given to ExFreePoolWithTag, allocation above
//                           DISPATCH_LEVEL (or paged pool at DISPATCH_LEVEL)
//   POOL_WRONG_SIZE         the length given at free differs from the block's
//   POOL_CORRUPTION         the guard bytes after a block or its header changed
//   TIMER_IN_FREED_MEMORY   a registered timer in the block is armed or running
//   LEAKED_POOL             (check_leaks) blocks still alive, listed by tag
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/ring.h"

namespace host {

// Allocates `size` bytes tagged `tag`. Null when fault injection fails this
// PoolAllocation (`inject` false skips the injector, for host-internal
// objects). `site` names the caller for reports. The memory is filled with a
// non-zero pattern: pool memory is not zeroed.
void* pool_allocate(size_t size, uint32_t tag, const char* site, bool inject = true);

// Frees a block. `expected_size` non-zero must equal the allocated size
// (NdisFreeMemory's length); `expected_tag` non-zero must equal the block's
// tag (ExFreePoolWithTag). `what` names the caller for reports.
void pool_free(void* ptr, size_t expected_size, const char* what, uint32_t expected_tag = 0);

// A block its owner keeps for reuse instead of freeing it (a pool of
// descriptors): parking checks it as a free would and fills it with the freed
// pattern; unparking bug checks when it was written in the meantime. A parked
// block is not counted live nor reported as a leak (its owner's own block is);
// it is unparked before it is freed.
void pool_park(void* ptr, size_t expected_size, const char* what, uint32_t expected_tag);
void pool_unpark(void* ptr, const char* what);

// The blocks an owner keeps for reuse (a pool's descriptors, the IRP
// lookaside), oldest first: each is parked while kept, and handed out again
// once `age` others were kept after it, so that a write to it after its
// free is caught and a stale pointer to it names nothing live meanwhile.
// Not thread-safe: its owner calls it under its own lock.
class SpareBlocks {
 public:
  struct Block {
    void* ptr = nullptr;
    size_t size = 0;
  };
  SpareBlocks(size_t age, size_t kept) : age_(age), blocks_(kept) {}

  // A kept block of `size` bytes old enough to be reused, unparked; null
  // when there is none.
  void* take(size_t size, const char* what);
  // Parks a freed block and keeps it. When as many are kept as may be, the
  // oldest comes back unparked: the caller frees it (outside its lock).
  Block keep(void* ptr, size_t size, uint32_t tag, const char* what);
  // The oldest kept block, unparked, for the caller to free; none when empty.
  Block release_oldest(const char* what);
  // Forgets them all (the pool's reset returns their memory).
  void clear() { blocks_.clear(); }

 private:
  size_t age_;
  Ring<Block> blocks_;
};

// True when ptr is the start of a live block; its size and tag are returned.
bool pool_block_info(const void* ptr, size_t* size, uint32_t* tag);

// Bytes of the guard area after every block.
constexpr size_t kPoolGuardBytes = 16;
constexpr uint8_t kPoolAllocatedFill = 0xCD;  // fresh blocks
constexpr uint8_t kPoolFreedFill = 0xDF;      // freed blocks (kept a while to catch reuse)

// Timers living inside pool memory. The NDIS layer registers every miniport
// timer; freeing a block that holds one whose is_armed_or_running() is true is
// a bug check. Timers inside a freed block are unregistered automatically.
void register_timer_object(void* addr, std::function<bool()> is_armed_or_running, const char* what);
void unregister_timer_object(void* addr);

// Leak report of live blocks (grouped by tag); empty when nothing is live.
// `exclude_tag` skips one tag (the IRP tag, which has its own report).
std::string pool_leak_report(uint32_t exclude_tag = 0);

// Forgets every block and timer and returns the memory (kernel teardown).
void pool_reset();

// Builds a tag from its four characters as written, e.g. make_tag("Wdm ").
constexpr uint32_t make_tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

}  // namespace host
