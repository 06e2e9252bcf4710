// Resource tracker. Every allocation an adapter keeps for its lifetime gets a
// record on the adapter's InUseList; records are carved from blocks that the
// tracker allocates itself, and the first record of every block describes the
// block. Nothing is released on its own: ReleaseAllResources walks the list
// once, newest first, and frees the Adapter record last.
//
// The tracker runs only at PASSIVE_LEVEL inside initialization and halt,
// which NDIS never overlaps for one adapter, so it takes no lock. The two tag
// counters are shared by every adapter; a repeated tag would be harmless.

#include "miniport/tracker.h"

#include "datapath/datapath.h"

namespace usbeth {

ULONG BlockTag = kInitialTag;
ULONG AllocationTag = kInitialTag;

namespace {

// Inserts a record at the front of a list.
void PushFront(TrackList* list, TrackRecord* record) {
  record->Prev = nullptr;
  record->Next = list->Front;
  if (list->Front != nullptr) {
    list->Front->Prev = record;
  } else {
    list->Back = record;
  }
  list->Front = record;
  list->Count++;
}

// Appends a record at the back of a list.
void PushBack(TrackList* list, TrackRecord* record) {
  record->Next = nullptr;
  record->Prev = list->Back;
  if (list->Back != nullptr) {
    list->Back->Next = record;
  } else {
    list->Front = record;
  }
  list->Back = record;
  list->Count++;
}

// Unlinks the front record of a list; null when the list is empty.
TrackRecord* PopFront(TrackList* list) {
  TrackRecord* record = list->Front;
  if (record == nullptr) return nullptr;
  list->Front = record->Next;
  if (list->Front != nullptr) {
    list->Front->Prev = nullptr;
  } else {
    list->Back = nullptr;
  }
  list->Count--;
  record->Next = nullptr;
  record->Prev = nullptr;
  return record;
}

// Allocates a block, cuts it into spare records and tracks the block in its
// own first record.
bool AddBlock(TrackerLists* tracker) {
  PVOID block = nullptr;
  const ULONG tag = BlockTag;
  BlockTag = tag + 1;
  if (NdisAllocateMemoryWithTag(&block, kTrackBlockSize, tag) != NDIS_STATUS_SUCCESS ||
      block == nullptr) {
    return false;
  }
  NdisZeroMemory(block, kTrackBlockSize);
  TrackRecord* records = static_cast<TrackRecord*>(block);
  for (ULONG i = 0; i < kTrackRecordsPerBlock; ++i)
    PushBack(&tracker->SpareList, &records[i]);

  TrackRecord* own = PopFront(&tracker->SpareList);
  own->Type = TrackMemory;
  own->Description.Memory.Size = kTrackBlockSize;
  own->Description.Memory.Address = block;
  PushFront(&tracker->InUseList, own);
  tracker->TotalTracked++;
  return true;
}

// Releases the resource a record describes. The record has already been
// unlinked and may lie inside the memory it describes, so it is copied first
// and not touched after the release call.
void ReleaseRecord(Adapter* adapter, TrackRecord* record) {
  const ULONG type = record->Type;
  switch (type) {
    case TrackMemory: {
      const ULONG size = record->Description.Memory.Size;
      PVOID address = record->Description.Memory.Address;
      // The Adapter holds the tracker itself; it is freed after the walk.
      if (address == adapter || address == nullptr) return;
      NdisFreeMemory(address, size, 0);
      return;
    }
    case TrackSharedMemory:
      NdisMFreeSharedMemory(adapter->MiniportAdapterHandle, record->Description.SharedMemory.Size,
                            record->Description.SharedMemory.Cached,
                            record->Description.SharedMemory.VirtualAddress,
                            record->Description.SharedMemory.PhysicalAddress);
      return;
    case TrackIoPortRange:
      NdisMDeregisterIoPortRange(record->Description.IoPortRange.AdapterHandle,
                                 record->Description.IoPortRange.InitialPort,
                                 record->Description.IoPortRange.NumberOfPorts,
                                 record->Description.IoPortRange.PortOffset);
      return;
    case TrackInterrupt:
      NdisMDeregisterInterrupt(&record->Description.Interrupt);
      return;
    case TrackMapRegisters:
      NdisMFreeMapRegisters(adapter->MiniportAdapterHandle);
      return;
    case TrackPacketPool:
      NdisFreePacketPool(record->Description.Pool.PoolHandle);
      return;
    case TrackBufferPool:
      NdisFreeBufferPool(record->Description.Pool.PoolHandle);
      return;
    default:
      // A record handed out and never filled, or of no known kind.
      return;
  }
}

}  // namespace

TrackRecord* NewTrackRecord(Adapter* adapter) {
  TrackerLists* tracker = &adapter->ResourceTracker;
  if (tracker->SpareList.Front == nullptr && !AddBlock(tracker)) return nullptr;
  TrackRecord* record = PopFront(&tracker->SpareList);
  PushFront(&tracker->InUseList, record);
  tracker->TotalTracked++;
  return record;
}

ULONG AllocateTracked(Adapter* adapter, PVOID* result, ULONG size) {
  TrackRecord* record = NewTrackRecord(adapter);
  if (record == nullptr) {
    *result = nullptr;
    return kFailed;
  }
  PVOID memory = nullptr;
  const ULONG tag = AllocationTag;
  AllocationTag = tag + 1;
  if (NdisAllocateMemoryWithTag(&memory, size, tag) != NDIS_STATUS_SUCCESS || memory == nullptr) {
    // The record stays on InUseList untyped; the release walk skips it.
    *result = nullptr;
    return kFailed;
  }
  NdisZeroMemory(memory, size);
  record->Description.Memory.Size = size;
  record->Description.Memory.Address = memory;
  record->Type = TrackMemory;
  *result = memory;
  return kOk;
}

void ReleaseAllResources(Adapter* adapter) {
  TrackerLists* tracker = &adapter->ResourceTracker;
  ULONG remaining = tracker->TotalTracked;

  // The receive packets and buffers go back before their pools are freed
  // below; this covers every receive descriptor, also one still waiting for
  // indication.
  if (adapter->PoolsAllocated == 1) FreeReceivePackets(adapter);

  while (remaining > 0) {
    TrackRecord* record = PopFront(&tracker->InUseList);
    if (record == nullptr) break;
    --remaining;
    ReleaseRecord(adapter, record);
  }

  NdisFreeMemory(adapter, sizeof(Adapter), 0);
}

}  // namespace usbeth
