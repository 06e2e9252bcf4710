// NDIS memory, the checks behind the spin lock and copy macros, and delays.
#include <chrono>
#include <cstring>
#include <thread>

#include "ndis/state.h"
#include "nt/locks.h"
#include "nt/pool.h"
#include "nt/wait.h"

using namespace host;
using namespace host::ndis;

namespace {

NDIS_STATUS allocate_memory(PVOID* address, UINT length, ULONG tag, UINT flags, const char* what) {
  check_irql_at_most(DISPATCH_LEVEL, what);
  if (!address) bug_check("NULL_POINTER", std::string(what) + " without an address to fill");
  *address = nullptr;
  void* block = pool_allocate(length, tag, what);
  if (!block) return NDIS_STATUS_FAILURE;
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.memory[block] = MemoryRecord{length, tag, current_owner(), flags};
  *address = block;
  return NDIS_STATUS_SUCCESS;
}

}  // namespace

extern "C" NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length,
                                                       ULONG Tag) {
  return allocate_memory(VirtualAddress, Length, Tag, 0, "NdisAllocateMemoryWithTag");
}

extern "C" NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length,
                                                UINT MemoryFlags,
                                                NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
  // Contiguous or non-cached memory comes from the memory manager, which
  // needs PASSIVE_LEVEL.
  if (MemoryFlags != 0) check_irql_at_most(PASSIVE_LEVEL, "NdisAllocateMemory (contiguous)");
  return allocate_memory(VirtualAddress, Length, kDefaultMemoryTag, MemoryFlags,
                         "NdisAllocateMemory");
}

extern "C" VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisFreeMemory");
  State& s = state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    auto it = s.memory.find(VirtualAddress);
    if (it == s.memory.end()) {
      size_t size = 0;
      uint32_t tag = 0;
      if (pool_block_info(VirtualAddress, &size, &tag)) {
        bug_check("BAD_POOL_CALLER", "NdisFreeMemory of " + hex(uintptr_t(VirtualAddress)) +
                                         " (tag " + tag_text(tag) +
                                         "), which NDIS did not allocate");
      }
      // Not live: the pool recognises a second free and reports it.
    } else if (it->second.size != Length) {
      bug_check("POOL_WRONG_SIZE", "NdisFreeMemory with length " + std::to_string(Length) +
                                       " of a block of " + std::to_string(it->second.size) +
                                       " bytes (tag " + tag_text(it->second.tag) + ")");
    } else if (it->second.flags != MemoryFlags) {
      // The flags say which allocator the block goes back to: NDIS takes
      // them as given, so a block freed with the wrong ones is freed wrongly.
      bug_check("BAD_POOL_CALLER", "NdisFreeMemory with flags " + hex(MemoryFlags) +
                                       " of a block allocated with flags " + hex(it->second.flags) +
                                       " (tag " + tag_text(it->second.tag) + ")");
    }
  }
  pool_free(VirtualAddress, Length, "NdisFreeMemory");
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.memory.erase(VirtualAddress);
}

extern "C" VOID HostNdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock) {
  if (lock_word_held_by_current(&SpinLock->SpinLock) || SpinLock->SpinLock != 0) {
    bug_check("SPINLOCK_FREED_WHILE_HELD",
              "NdisFreeSpinLock of " + hex(uintptr_t(SpinLock)) + ", which is held");
  }
}

extern "C" VOID HostNdisMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  if (Length == 0) return;
  if (!Destination || !Source) {
    bug_check("NULL_POINTER",
              "NdisMoveMemory of " + std::to_string(Length) + " bytes with a null address");
  }
  auto d = reinterpret_cast<uintptr_t>(Destination);
  auto src = reinterpret_cast<uintptr_t>(Source);
  if (d < src + Length && src < d + Length && d != src) {
    bug_check("OVERLAPPING_COPY", "NdisMoveMemory between overlapping ranges " + hex(src) +
                                      " and " + hex(d) + " (" + std::to_string(Length) + " bytes)");
  }
  std::memcpy(Destination, Source, Length);
}

extern "C" VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep) {
  passive_sleep(Nanoseconds(MicrosecondsToSleep) * kMicrosecond, "NdisMSleep");
}

extern "C" VOID NTAPI NdisStallExecution(UINT MicrosecondsToStall) {
  // A busy wait on the processor: no events run. Threaded mode spends real
  // time; deterministic mode spends none, as the clock moves only with events.
  Kernel& kernel = Kernel::get();
  if (kernel.options().mode == Mode::Threaded) {
    double scaled =
        MicrosecondsToStall / (kernel.options().time_scale > 0 ? kernel.options().time_scale : 1.0);
    auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double, std::micro>(scaled);
    while (std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }
}

extern "C" VOID NTAPI NdisInitUnicodeString(PNDIS_STRING DestinationString, PCWSTR SourceString) {
  size_t n = 0;
  if (SourceString) {
    while (SourceString[n])
      ++n;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  DestinationString->MaximumLength =
      static_cast<USHORT>(SourceString ? (n + 1) * sizeof(WCHAR) : 0);
}
