// Packet and buffer pools, packets and buffers. Every object is a tagged pool
// block, so leak reports name them; the library knows each live one, so a
// stale or foreign pointer is recognised at the call that uses it. A pool
// hands out again the descriptors freed to it (see PoolRecord).
//
// A packet block holds the NDIS_PACKET with the pool's protocol-reserved
// bytes, then its out-of-band data (Private.NdisPacketOobOffset points there).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ndis/state.h"
#include "nt/pool.h"

using namespace host;
using namespace host::ndis;

namespace {

constexpr size_t kPoolHandleBytes = 16;

size_t round_up(size_t n, size_t to) {
  return (n + to - 1) / to * to;
}

size_t packet_bytes_of(const PoolRecord& pool) {
  return round_up(std::max(sizeof(NDIS_PACKET),
                           offsetof(NDIS_PACKET, ProtocolReserved) + pool.protocol_reserved),
                  alignof(NDIS_PACKET_OOB_DATA));
}

PoolRecord* lookup_pool(State& s, NDIS_HANDLE handle, bool packet_pool, const char* what) {
  auto it = s.pools.find(handle);
  if (it == s.pools.end() || it->second->is_packet_pool != packet_pool) {
    bug_check("BAD_POOL_HANDLE", std::string(what) + " with " + hex(uintptr_t(handle)) +
                                     ", which is not a live " +
                                     (packet_pool ? "packet" : "buffer") + " pool");
  }
  return it->second.get();
}

void allocate_pool(PNDIS_STATUS status, PNDIS_HANDLE handle, UINT descriptors, UINT reserved,
                   bool packet_pool, const char* what) {
  check_irql_at_most(DISPATCH_LEVEL, what);
  *handle = nullptr;
  if (faults().should_fail(packet_pool ? FaultSite::PacketAllocation
                                       : FaultSite::BufferAllocation)) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  void* block =
      pool_allocate(kPoolHandleBytes, packet_pool ? kPacketPoolTag : kBufferPoolTag, what, false);
  if (!block) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto record = std::make_unique<PoolRecord>();
  record->is_packet_pool = packet_pool;
  record->capacity = descriptors;
  record->protocol_reserved = reserved;
  record->owner = current_owner();
  record->descriptor_size =
      packet_pool ? packet_bytes_of(*record) + sizeof(NDIS_PACKET_OOB_DATA) : sizeof(MDL);
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.pools[block] = std::move(record);
  *handle = block;
  *status = NDIS_STATUS_SUCCESS;
}

void free_pool(NDIS_HANDLE handle, bool packet_pool, const char* what) {
  check_irql_at_most(DISPATCH_LEVEL, what);
  State& s = state();
  std::unique_ptr<PoolRecord> gone;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    PoolRecord* pool = lookup_pool(s, handle, packet_pool, what);
    if (pool->live) {
      bug_check(packet_pool ? "PACKET_POOL_BUSY" : "BUFFER_POOL_BUSY",
                std::string(what) + " of " + hex(uintptr_t(handle)) + " with " +
                    std::to_string(pool->live) + (packet_pool ? " packet(s)" : " buffer(s)") +
                    " still allocated from it");
    }
    gone = std::move(s.pools[handle]);
    s.pools.erase(handle);
  }
  // The spares go back to the system pool with the state's lock released.
  gone.reset();
  pool_free(handle, kPoolHandleBytes, what);
}

}  // namespace

namespace host::ndis {

PoolRecord::~PoolRecord() {
  const uint32_t tag = is_packet_pool ? kPacketTag : kBufferTag;
  const char* what = is_packet_pool ? "NdisFreePacketPool" : "NdisFreeBufferPool";
  try {
    for (SpareBlocks::Block b; (b = spares.release_oldest(what)).ptr;)
      pool_free(b.ptr, b.size, what, tag);
  } catch (const BugCheck& e) {
    // A destructor cannot pass the bug check on: it is told and the process ends.
    std::fprintf(stderr, "*** BUG CHECK while a pool was freed\n%s\n", e.what());
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace host::ndis

extern "C" VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                             UINT NumberOfDescriptors,
                                             UINT ProtocolReservedLength) {
  allocate_pool(Status, PoolHandle, NumberOfDescriptors, ProtocolReservedLength, true,
                "NdisAllocatePacketPool");
}

extern "C" VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
  free_pool(PoolHandle, true, "NdisFreePacketPool");
}

extern "C" VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                             UINT NumberOfDescriptors) {
  allocate_pool(Status, PoolHandle, NumberOfDescriptors, 0, false, "NdisAllocateBufferPool");
}

extern "C" VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
  free_pool(PoolHandle, false, "NdisFreeBufferPool");
}

extern "C" VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet,
                                         NDIS_HANDLE PoolHandle) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisAllocatePacket");
  *Packet = nullptr;
  State& s = state();
  size_t packet_bytes;
  PoolRecord* pool;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    pool = lookup_pool(s, PoolHandle, true, "NdisAllocatePacket");
    if (pool->live >= pool->capacity) {
      *Status = NDIS_STATUS_RESOURCES;
      return;
    }
    packet_bytes = packet_bytes_of(*pool);
    ++pool->live;  // reserved; given back below if the allocation fails
  }
  size_t block_size = pool->descriptor_size;
  void* block = nullptr;
  std::unique_lock<host::HostMutex> lock(s.mutex, std::defer_lock);
  if (!faults().should_fail(FaultSite::PacketAllocation)) {
    lock.lock();
    block = pool->spares.take(block_size, "NdisAllocatePacket");
    if (!block) {
      lock.unlock();
      block = pool_allocate(block_size, kPacketTag, "NdisAllocatePacket", false);
    }
  }
  if (!lock.owns_lock()) lock.lock();
  if (!block) {
    --pool->live;
    *Status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto* packet = static_cast<PNDIS_PACKET>(block);
  // The private area and the out-of-band data start clean; the reserved
  // areas keep whatever the memory held, as on the platform.
  std::memset(&packet->Private, 0, sizeof(packet->Private));
  packet->Private.Pool = static_cast<PNDIS_PACKET_POOL>(PoolHandle);
  packet->Private.NdisPacketOobOffset = static_cast<USHORT>(packet_bytes);
  std::memset(static_cast<uint8_t*>(block) + packet_bytes, 0, sizeof(NDIS_PACKET_OOB_DATA));
  PacketRecord record;
  record.pool = pool;
  record.block_size = block_size;
  s.packets[packet] = record;
  *Packet = packet;
  *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisFreePacket");
  State& s = state();
  SpareBlocks::Block evicted;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    PacketRecord* record = s.packets.find(Packet);
    if (!record) {
      bug_check("BAD_PACKET", "NdisFreePacket of " + hex(uintptr_t(Packet)) +
                                  ", which is not a live packet (freed twice?)");
    }
    if (record->use != PacketUse::Free) {
      bug_check("PACKET_FREED_WHILE_IN_USE",
                "NdisFreePacket of " + hex(uintptr_t(Packet)) + ", which is " +
                    (record->use == PacketUse::Sending ? "being sent by the miniport"
                                                       : "held by a protocol"));
    }
    PoolRecord* pool = record->pool;
    --pool->live;
    const size_t block_size = record->block_size;
    s.packets.erase(Packet);
    evicted = pool->spares.keep(Packet, block_size, kPacketTag, "NdisFreePacket");
  }
  if (evicted.ptr) pool_free(evicted.ptr, evicted.size, "NdisFreePacket", kPacketTag);
}

extern "C" VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer,
                                         NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                                         UINT Length) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisAllocateBuffer");
  *Buffer = nullptr;
  if (!VirtualAddress && Length) {
    bug_check("NULL_POINTER",
              "NdisAllocateBuffer of " + std::to_string(Length) + " bytes at a null address");
  }
  State& s = state();
  PoolRecord* pool = nullptr;
  if (PoolHandle) {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    pool = lookup_pool(s, PoolHandle, false, "NdisAllocateBuffer");
  }
  void* block = nullptr;
  if (!faults().should_fail(FaultSite::BufferAllocation)) {
    if (pool) {
      std::lock_guard<host::HostMutex> lock(s.mutex);
      block = pool->spares.take(sizeof(MDL), "NdisAllocateBuffer");
    }
    if (!block) block = pool_allocate(sizeof(MDL), kBufferTag, "NdisAllocateBuffer", false);
  }
  if (!block) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  auto* mdl = static_cast<PNDIS_BUFFER>(block);
  auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
  mdl->Next = nullptr;
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
  mdl->Process = nullptr;
  mdl->MappedSystemVa = VirtualAddress;
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(PAGE_SIZE - 1));
  mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (pool) ++pool->live;
  s.buffers[mdl] = BufferRecord{pool, Length, VirtualAddress};
  *Buffer = mdl;
  *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisFreeBuffer");
  State& s = state();
  SpareBlocks::Block evicted{Buffer, sizeof(MDL)};  // a buffer without a pool goes straight back
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    BufferRecord* record = s.buffers.find(Buffer);
    if (!record) {
      bug_check("BAD_BUFFER", "NdisFreeBuffer of " + hex(uintptr_t(Buffer)) +
                                  ", which is not a live buffer (freed twice?)");
    }
    PoolRecord* pool = record->pool;
    s.buffers.erase(Buffer);
    if (pool) {
      --pool->live;
      evicted = pool->spares.keep(Buffer, sizeof(MDL), kBufferTag, "NdisFreeBuffer");
    }
  }
  if (evicted.ptr) pool_free(evicted.ptr, evicted.size, "NdisFreeBuffer", kBufferTag);
}

extern "C" PVOID HostNdisBufferSystemAddress(PNDIS_BUFFER Buffer) {
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (!s.buffers.count(Buffer)) {
    bug_check("BAD_BUFFER",
              "NdisQueryBuffer of " + hex(uintptr_t(Buffer)) + ", which is not a live buffer");
  }
  return Buffer->MappedSystemVa;
}

extern "C" ULONG NTAPI NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer) {
  if (MmGetMdlByteCount(Buffer) == 0) return 1;
  return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Buffer), MmGetMdlByteCount(Buffer));
}

extern "C" VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER* Buffer) {
  PNDIS_BUFFER first = Packet->Private.Head;
  *Buffer = first;
  if (!first) return;
  Packet->Private.Head = first->Next;
  if (!Packet->Private.Head) Packet->Private.Tail = nullptr;
  first->Next = nullptr;
  Packet->Private.ValidCounts = FALSE;
}

extern "C" VOID NTAPI NdisUnchainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER* Buffer) {
  PNDIS_BUFFER current = Packet->Private.Head;
  *Buffer = nullptr;
  if (!current) return;
  PNDIS_BUFFER previous = nullptr;
  while (current->Next) {
    previous = current;
    current = current->Next;
  }
  *Buffer = current;
  if (previous) {
    previous->Next = nullptr;
    Packet->Private.Tail = previous;
  } else {
    Packet->Private.Head = nullptr;
    Packet->Private.Tail = nullptr;
  }
  Packet->Private.ValidCounts = FALSE;
}
