// Transfer descriptors and pools, transmit, receive and keep-alive.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

constexpr ULONG kUrbAreaSize = 96;
constexpr ULONG kTransferBufferSize = 1536;
constexpr ULONG kMaxFrameSize = 1514;
constexpr ULONG kMinTransferLength = 60;
constexpr ULONG kEthernetHeaderSize = 14;

struct TransferDescriptor {
  TransferDescriptor* Next;
  TransferDescriptor* Prev;
  PVOID PacketRef;
  Adapter* Owner;
  ULONG TransferStatus;
  ULONG Length;
  PURB Urb;
  PUCHAR Buffer;
};

struct RxPacketRecord {
  PNDIS_PACKET Packet;  // first: the record is the one-element packet array
  PNDIS_BUFFER NdisBuffer;
};

void QueuePushFront(DescriptorQueue* queue, TransferDescriptor* descriptor);
void QueuePushBack(DescriptorQueue* queue, TransferDescriptor* descriptor);
TransferDescriptor* QueuePopFront(DescriptorQueue* queue);

// Allocates the descriptor block and carves it onto the free queues.
ULONG CarveDescriptors(Adapter* adapter);
ULONG AllocatePools(Adapter* adapter);

// Transmit
NDIS_STATUS NTAPI MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                               UINT Flags);
TransferDescriptor* TakeTxDescriptor(Adapter* adapter);
ULONG ReturnTxDescriptor(Adapter* adapter, TransferDescriptor* descriptor);
ULONG SubmitBulkOut(Adapter* adapter, TransferDescriptor* descriptor);
ULONG CopyPacketToDescriptor(Adapter* adapter, TransferDescriptor* descriptor);
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Receive
ULONG SubmitBulkIn(Adapter* adapter, TransferDescriptor* descriptor);
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
ULONG QueueReceived(Adapter* adapter, TransferDescriptor* descriptor);
void NTAPI IndicateReceived(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                            PVOID SystemSpecific3);

// Keep-alive
void NTAPI KeepAliveTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
ULONG SendKeepAlive(Adapter* adapter, TransferDescriptor* descriptor);
NTSTATUS NTAPI KeepAliveComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

}  // namespace usbeth
