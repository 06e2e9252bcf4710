// Transfer descriptors: the one block that holds every descriptor, URB area
// and data buffer of an adapter, the queues that link them, and the NDIS
// packets and buffers that the receive descriptors reuse for every frame.
#include "datapath/datapath.h"
#include "miniport/tracker.h"
#include "usb/usb_transport.h"

namespace usbeth {

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) <= kUrbAreaSize,
              "a bulk URB fits a descriptor's URB area");

// The block holds three arrays: the descriptor records, their URB areas and
// their data buffers; descriptor i owns URB area i and buffer i. Transmit
// descriptors come first and join TxFreeQueue in address order; receive
// descriptors join RxFreeQueue at the front, so its front is the last one.
ULONG CarveDescriptors(Adapter* adapter) {
  const ULONG tx_count = adapter->TxDescriptorCount;
  const ULONG rx_count = adapter->RxDescriptorCount;
  const ULONG per_descriptor = sizeof(TransferDescriptor) + kUrbAreaSize + kTransferBufferSize;
  const ULONG count = tx_count + rx_count;
  // Counts come from the registry unchecked: refuse a block whose size does
  // not fit 32 bits rather than carving past a short allocation.
  if (count < tx_count || count == 0 || count > 0xFFFFFFFFu / per_descriptor) return kFailed;

  PVOID block = nullptr;
  if (AllocateTracked(adapter, &block, count * per_descriptor) != kOk) return kFailed;

  TransferDescriptor* descriptor = static_cast<TransferDescriptor*>(block);
  PUCHAR urb_area = reinterpret_cast<PUCHAR>(descriptor + count);
  PUCHAR buffer = urb_area + count * kUrbAreaSize;
  for (ULONG i = 0; i < count; i++, descriptor++) {
    if (i < tx_count) {
      QueuePushBack(&adapter->TxFreeQueue, descriptor);
    } else {
      QueuePushFront(&adapter->RxFreeQueue, descriptor);
    }
    descriptor->Buffer = buffer;
    descriptor->Urb = reinterpret_cast<PURB>(urb_area);
    descriptor->Owner = adapter;
    buffer += kTransferBufferSize;
    urb_area += kUrbAreaSize;
  }
  return kOk;
}

void FreeReceivePackets(Adapter* adapter) {
  RxPacketRecord* records = static_cast<RxPacketRecord*>(adapter->RxPacketRecords);
  if (records != nullptr) {
    for (ULONG k = 0; k < adapter->RxDescriptorCount; k++) {
      if (records[k].NdisBuffer != nullptr) NdisFreeBuffer(records[k].NdisBuffer);
      if (records[k].Packet != nullptr) NdisFreePacket(records[k].Packet);
      records[k].NdisBuffer = nullptr;
      records[k].Packet = nullptr;
    }
  }
  adapter->PoolsAllocated = 0;
}

// Creates a pool and hands it to the tracker, which frees it at halt.
static ULONG TrackNewPacketPool(Adapter* adapter, NDIS_HANDLE* pool) {
  TrackRecord* record = NewTrackRecord(adapter);
  if (record == nullptr) return kFailed;
  NDIS_STATUS status;
  NdisAllocatePacketPool(&status, pool, adapter->RxDescriptorCount, 0);
  if (status != NDIS_STATUS_SUCCESS) return kFailed;
  record->Description.Pool.PoolHandle = *pool;
  record->Type = TrackPacketPool;
  return kOk;
}

static ULONG TrackNewBufferPool(Adapter* adapter, NDIS_HANDLE* pool) {
  TrackRecord* record = NewTrackRecord(adapter);
  if (record == nullptr) return kFailed;
  NDIS_STATUS status;
  NdisAllocateBufferPool(&status, pool, adapter->RxDescriptorCount);
  if (status != NDIS_STATUS_SUCCESS) return kFailed;
  record->Description.Pool.PoolHandle = *pool;
  record->Type = TrackBufferPool;
  return kOk;
}

ULONG AllocatePools(Adapter* adapter) {
  // One packet slot per transmit descriptor, in TxFreeQueue order. At least
  // one slot is allocated so that an adapter without transmit descriptors
  // never asks for an empty allocation.
  const ULONG slot_count = adapter->TxDescriptorCount != 0 ? adapter->TxDescriptorCount : 1;
  PVOID slots = nullptr;
  if (AllocateTracked(adapter, &slots, slot_count * sizeof(PNDIS_PACKET)) != kOk) return kFailed;
  PNDIS_PACKET* slot = static_cast<PNDIS_PACKET*>(slots);
  for (TransferDescriptor* d = adapter->TxFreeQueue.Front; d != nullptr; d = d->Next) {
    d->PacketRef = slot++;
  }

  NDIS_HANDLE packet_pool = nullptr;
  NDIS_HANDLE buffer_pool = nullptr;
  if (TrackNewPacketPool(adapter, &packet_pool) != kOk) return kFailed;
  if (TrackNewBufferPool(adapter, &buffer_pool) != kOk) return kFailed;

  PVOID record_array = nullptr;
  if (AllocateTracked(adapter, &record_array,
                      adapter->RxDescriptorCount * sizeof(RxPacketRecord)) != kOk) {
    return kFailed;
  }
  adapter->RxPacketRecords = record_array;
  RxPacketRecord* record = static_cast<RxPacketRecord*>(record_array);

  // Each receive descriptor gets a packet whose only buffer describes its
  // data buffer. A packet or buffer that cannot be had undoes those already
  // obtained, so that the pools are empty when the tracker frees them.
  for (TransferDescriptor* d = adapter->RxFreeQueue.Front; d != nullptr; d = d->Next, record++) {
    NDIS_STATUS status;
    NdisAllocatePacket(&status, &record->Packet, packet_pool);
    if (status != NDIS_STATUS_SUCCESS) {
      record->Packet = nullptr;
      FreeReceivePackets(adapter);
      return kFailed;
    }
    NdisAllocateBuffer(&status, &record->NdisBuffer, buffer_pool, d->Buffer, kMaxFrameSize);
    if (status != NDIS_STATUS_SUCCESS) {
      record->NdisBuffer = nullptr;
      FreeReceivePackets(adapter);
      return kFailed;
    }
    NDIS_SET_PACKET_HEADER_SIZE(record->Packet, kEthernetHeaderSize);
    NdisChainBufferAtFront(record->Packet, record->NdisBuffer);
    d->PacketRef = record;
  }
  adapter->PoolsAllocated = 1;
  return kOk;
}

}  // namespace usbeth
