// Resource tracker: everything an adapter holds for its lifetime is recorded
// here when obtained and released in one sweep at halt or failed start.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

enum TrackType : ULONG {
  TrackNone = 0,
  TrackMemory = 1,
  TrackSharedMemory = 2,
  TrackIoPortRange = 3,
  TrackInterrupt = 4,
  TrackMapRegisters = 5,
  TrackPacketPool = 6,
  TrackBufferPool = 7,
};

struct TrackRecord {
  TrackRecord* Next;
  TrackRecord* Prev;
  ULONG Type;
  union {
    struct {
      ULONG Size;
      PVOID Address;
    } Memory;
    struct {
      ULONG Size;
      PVOID VirtualAddress;
      NDIS_PHYSICAL_ADDRESS PhysicalAddress;
      UCHAR Cached;
    } SharedMemory;
    struct {
      NDIS_HANDLE AdapterHandle;
      ULONG NumberOfPorts;
      ULONG InitialPort;
      PVOID PortOffset;
    } IoPortRange;
    NDIS_MINIPORT_INTERRUPT Interrupt;
    struct {
      NDIS_HANDLE PoolHandle;
    } Pool;
  } Description;
};

// Records are carved fifteen to a block. On 32-bit Windows a record is 96
// bytes and a block 1440; other builds keep fifteen records of their own
// record size, so the tracker behaves the same everywhere.
constexpr ULONG kTrackRecordsPerBlock = 15;
constexpr ULONG kTrackRecordStep = sizeof(TrackRecord);
constexpr ULONG kTrackBlockSize = kTrackRecordsPerBlock * kTrackRecordStep;
#if !defined(USBETH_HOST_KERNEL)
static_assert(sizeof(TrackRecord) == 96, "a tracker record is 96 bytes on 32-bit x86");
static_assert(kTrackBlockSize == 1440, "a tracker block is 1440 bytes on 32-bit x86");
#endif

// First tag of both counters: the characters "00QM", first character in the
// lowest byte.
constexpr ULONG kInitialTag = 0x4D513030;
// Fixed tag of the Adapter record: "0kvR".
constexpr ULONG kAdapterTag = 0x52766B30;

// The two tag counters shared by every adapter of the driver.
extern ULONG BlockTag;
extern ULONG AllocationTag;

TrackRecord* NewTrackRecord(Adapter* adapter);
ULONG AllocateTracked(Adapter* adapter, PVOID* result, ULONG size);
void ReleaseAllResources(Adapter* adapter);

}  // namespace usbeth
