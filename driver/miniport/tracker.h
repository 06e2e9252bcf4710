// Resource tracker: everything an adapter holds for its lifetime is recorded
// here when obtained and released in one sweep at halt or failed start.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

constexpr ULONG kTrackBlockSize = 1440;
constexpr ULONG kTrackRecordStep = 96;
constexpr ULONG kTrackRecordsPerBlock = kTrackBlockSize / kTrackRecordStep;

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

// The two tag counters shared by every adapter of the driver.
extern ULONG BlockTag;
extern ULONG AllocationTag;

TrackRecord* NewTrackRecord(Adapter* adapter);
ULONG AllocateTracked(Adapter* adapter, PVOID* result, ULONG size);
void ReleaseAllResources(Adapter* adapter);

}  // namespace usbeth
