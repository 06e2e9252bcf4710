// Host kernel: the NDIS 5.0 miniport slice that the driver calls, under the
// names, argument orders and macro-or-function shapes of the DDK's ndis.h, so
// that one driver source compiles against this header and against the real
// one. Where the DDK makes a call a macro over the packet, the buffer or the
// miniport block, so does this header; struct internals the driver never
// reads are simpler than the DDK's. host/ndis holds the implementation.
//
// Note for driver code: the DDK shipped with mingw-w64 has no NDIS_STRING_CONST
// and no RTL_CONSTANT_STRING, and WCHAR is 16 bits on both homes while a
// wchar_t literal is 32 bits here; build keyword strings from WCHAR arrays.
#pragma once

#include "wdk_nt.h"

// ---- Basic types ----------------------------------------------------------
typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;
typedef SHORT CSHORT;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;
#define NDIS_PHYSICAL_ADDRESS_CONST(_Low, _High) \
  {                                              \
    { (ULONG)(_Low), (LONG)(_High) }             \
  }

// Memory descriptor list: an NDIS buffer is an MDL. Shared with the USB
// declarations (URB TransferBufferMDL); whichever header comes first defines it.
#ifndef HOST_WDK_MDL_DEFINED
#define HOST_WDK_MDL_DEFINED
typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
#ifndef USBETH_LAYOUT_TEST_MOVE_FIELD
  ULONG ByteCount;
  ULONG ByteOffset;
#else
  // Test-only: a host whose layout has drifted from the platform's.
  ULONG ByteOffset;
  ULONG ByteCount;
#endif
} MDL, *PMDL;
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#endif
#ifndef MmGetMdlByteCount
#define MmGetMdlByteCount(_Mdl) ((_Mdl)->ByteCount)
#endif
#ifndef MmGetMdlByteOffset
#define MmGetMdlByteOffset(_Mdl) ((_Mdl)->ByteOffset)
#endif
#ifndef MmGetMdlVirtualAddress
#define MmGetMdlVirtualAddress(_Mdl) ((PVOID)((PCHAR)((_Mdl)->StartVa) + (_Mdl)->ByteOffset))
#endif
#ifndef PAGE_SIZE
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L
#endif
#ifndef ADDRESS_AND_SIZE_TO_SPAN_PAGES
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(_Va, _Size) \
  ((ULONG)((((ULONG_PTR)(_Va) & (PAGE_SIZE - 1)) + (_Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))
#endif

typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
typedef struct _NDIS_REQUEST NDIS_REQUEST, *PNDIS_REQUEST;
typedef struct _CO_CALL_PARAMETERS CO_CALL_PARAMETERS, *PCO_CALL_PARAMETERS;
typedef struct _NDIS_PACKET_POOL NDIS_PACKET_POOL, *PNDIS_PACKET_POOL;
typedef struct _NDIS_MINIPORT_BLOCK NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

// ---- Status codes -----------------------------------------------------------
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)STATUS_PENDING)
#define NDIS_STATUS_NOT_RECOGNIZED ((NDIS_STATUS)0x00010001L)
#define NDIS_STATUS_NOT_COPIED ((NDIS_STATUS)0x00010002L)
#define NDIS_STATUS_NOT_ACCEPTED ((NDIS_STATUS)0x00010003L)
#define NDIS_STATUS_CALL_ACTIVE ((NDIS_STATUS)0x00010007L)
#define NDIS_STATUS_ONLINE ((NDIS_STATUS)0x40010003L)
#define NDIS_STATUS_RESET_START ((NDIS_STATUS)0x40010004L)
#define NDIS_STATUS_RESET_END ((NDIS_STATUS)0x40010005L)
#define NDIS_STATUS_RING_STATUS ((NDIS_STATUS)0x40010006L)
#define NDIS_STATUS_CLOSED ((NDIS_STATUS)0x40010007L)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_HARDWARE_LINE_UP ((NDIS_STATUS)0x4001000DL)
#define NDIS_STATUS_HARDWARE_LINE_DOWN ((NDIS_STATUS)0x4001000EL)
#define NDIS_STATUS_INTERFACE_UP ((NDIS_STATUS)0x4001000FL)
#define NDIS_STATUS_INTERFACE_DOWN ((NDIS_STATUS)0x40010010L)
#define NDIS_STATUS_MEDIA_BUSY ((NDIS_STATUS)0x40010011L)
#define NDIS_STATUS_MEDIA_SPECIFIC_INDICATION ((NDIS_STATUS)0x40010012L)
#define NDIS_STATUS_LINK_SPEED_CHANGE ((NDIS_STATUS)0x40010013L)
#define NDIS_STATUS_NOT_RESETTABLE ((NDIS_STATUS)0x80010001L)
#define NDIS_STATUS_SOFT_ERRORS ((NDIS_STATUS)0x80010003L)
#define NDIS_STATUS_HARD_ERRORS ((NDIS_STATUS)0x80010004L)
#define NDIS_STATUS_BUFFER_OVERFLOW ((NDIS_STATUS)0x80000005L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)
#define NDIS_STATUS_CLOSING ((NDIS_STATUS)0xC0010002L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_OPEN_FAILED ((NDIS_STATUS)0xC0010007L)
#define NDIS_STATUS_DEVICE_FAILED ((NDIS_STATUS)0xC0010008L)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_MULTICAST_EXISTS ((NDIS_STATUS)0xC001000AL)
#define NDIS_STATUS_MULTICAST_NOT_FOUND ((NDIS_STATUS)0xC001000BL)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000CL)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_CLOSING_INDICATING ((NDIS_STATUS)0xC001000EL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)STATUS_NOT_SUPPORTED)
#define NDIS_STATUS_INVALID_PACKET ((NDIS_STATUS)0xC001000FL)
#define NDIS_STATUS_OPEN_LIST_FULL ((NDIS_STATUS)0xC0010010L)
#define NDIS_STATUS_ADAPTER_NOT_READY ((NDIS_STATUS)0xC0010011L)
#define NDIS_STATUS_ADAPTER_NOT_OPEN ((NDIS_STATUS)0xC0010012L)
#define NDIS_STATUS_NOT_INDICATING ((NDIS_STATUS)0xC0010013L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_REMOVED ((NDIS_STATUS)0xC0010018L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_GROUP_ADDRESS_IN_USE ((NDIS_STATUS)0xC001001AL)
#define NDIS_STATUS_FILE_NOT_FOUND ((NDIS_STATUS)0xC001001BL)
#define NDIS_STATUS_ERROR_READING_FILE ((NDIS_STATUS)0xC001001CL)
#define NDIS_STATUS_ALREADY_MAPPED ((NDIS_STATUS)0xC001001DL)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001EL)
#define NDIS_STATUS_NO_CABLE ((NDIS_STATUS)0xC001001FL)
#define NDIS_STATUS_INVALID_ADDRESS ((NDIS_STATUS)0xC0010022L)

// ---- Object identifiers -----------------------------------------------------
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010a
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010b
#define OID_GEN_VENDOR_ID 0x0001010c
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010d
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010e
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010f
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_SUPPORTED_GUIDS 0x00010117
#define OID_GEN_NETWORK_LAYER_ADDRESSES 0x00010118
#define OID_GEN_TRANSPORT_HEADER_OFFSET 0x00010119
#define OID_GEN_MEDIA_CAPABILITIES 0x00010201
#define OID_GEN_PHYSICAL_MEDIUM 0x00010202
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_GEN_DIRECTED_BYTES_XMIT 0x00020201
#define OID_GEN_DIRECTED_FRAMES_XMIT 0x00020202
#define OID_GEN_MULTICAST_BYTES_XMIT 0x00020203
#define OID_GEN_MULTICAST_FRAMES_XMIT 0x00020204
#define OID_GEN_BROADCAST_BYTES_XMIT 0x00020205
#define OID_GEN_BROADCAST_FRAMES_XMIT 0x00020206
#define OID_GEN_DIRECTED_BYTES_RCV 0x00020207
#define OID_GEN_DIRECTED_FRAMES_RCV 0x00020208
#define OID_GEN_MULTICAST_BYTES_RCV 0x00020209
#define OID_GEN_MULTICAST_FRAMES_RCV 0x0002020a
#define OID_GEN_BROADCAST_BYTES_RCV 0x0002020b
#define OID_GEN_BROADCAST_FRAMES_RCV 0x0002020c
#define OID_GEN_RCV_CRC_ERROR 0x0002020d
#define OID_GEN_TRANSMIT_QUEUE_LENGTH 0x0002020e
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_MAC_OPTIONS 0x01010105
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103
#define OID_802_3_XMIT_DEFERRED 0x01020201
#define OID_802_3_XMIT_MAX_COLLISIONS 0x01020202
#define OID_802_3_RCV_OVERRUN 0x01020203
#define OID_802_3_XMIT_UNDERRUN 0x01020204
#define OID_802_3_XMIT_HEARTBEAT_FAILURE 0x01020205
#define OID_802_3_XMIT_TIMES_CRS_LOST 0x01020206
#define OID_802_3_XMIT_LATE_COLLISIONS 0x01020207
#define OID_PNP_CAPABILITIES 0xfd010100
#define OID_PNP_SET_POWER 0xfd010101
#define OID_PNP_QUERY_POWER 0xfd010102
#define OID_PNP_ADD_WAKE_UP_PATTERN 0xfd010103
#define OID_PNP_REMOVE_WAKE_UP_PATTERN 0xfd010104
#define OID_PNP_WAKE_UP_PATTERN_LIST 0xfd010105
#define OID_PNP_ENABLE_WAKE_UP 0xfd010106
#define OID_TCP_TASK_OFFLOAD 0xfc010201
#define OID_TCP_TASK_IPSEC_ADD_SA 0xfc010202
#define OID_TCP_TASK_IPSEC_DELETE_SA 0xfc010203

// ---- Packet filter, MAC options, attributes ---------------------------------
#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PACKET_TYPE_SMT 0x00000040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080
#define NDIS_PACKET_TYPE_GROUP 0x00001000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000

#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008
#define NDIS_MAC_OPTION_FULL_DUPLEX 0x00000010
#define NDIS_MAC_OPTION_EOTX_INDICATION 0x00000020
#define NDIS_MAC_OPTION_8021P_PRIORITY 0x00000040
#define NDIS_MAC_OPTION_RESERVED 0x80000000

#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002
#define NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS 0x00000004
#define NDIS_ATTRIBUTE_BUS_MASTER 0x00000008
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020
#define NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND 0x00000040
#define NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK 0x00000080
#define NDIS_ATTRIBUTE_NOT_CO_NDIS 0x00000100
#define NDIS_ATTRIBUTE_USES_SAFE_BUFFER_APIS 0x00000200

// ---- Enumerations and small records -------------------------------------------
typedef enum _NDIS_MEDIUM {
  NdisMedium802_3,
  NdisMedium802_5,
  NdisMediumFddi,
  NdisMediumWan,
  NdisMediumLocalTalk,
  NdisMediumDix,
  NdisMediumArcnetRaw,
  NdisMediumArcnet878_2,
  NdisMediumAtm,
  NdisMediumWirelessWan,
  NdisMediumIrda,
  NdisMediumBpc,
  NdisMediumCoWan,
  NdisMedium1394,
  NdisMediumInfiniBand,
  NdisMediumMax
} NDIS_MEDIUM,
    *PNDIS_MEDIUM;

typedef enum _NDIS_HARDWARE_STATUS {
  NdisHardwareStatusReady,
  NdisHardwareStatusInitializing,
  NdisHardwareStatusReset,
  NdisHardwareStatusClosing,
  NdisHardwareStatusNotReady
} NDIS_HARDWARE_STATUS,
    *PNDIS_HARDWARE_STATUS;

typedef enum _NDIS_MEDIA_STATE {
  NdisMediaStateConnected,
  NdisMediaStateDisconnected
} NDIS_MEDIA_STATE,
    *PNDIS_MEDIA_STATE;

typedef enum _NDIS_DEVICE_POWER_STATE {
  NdisDeviceStateUnspecified = 0,
  NdisDeviceStateD0,
  NdisDeviceStateD1,
  NdisDeviceStateD2,
  NdisDeviceStateD3,
  NdisDeviceStateMaximum
} NDIS_DEVICE_POWER_STATE,
    *PNDIS_DEVICE_POWER_STATE;

typedef struct _NDIS_PM_WAKE_UP_CAPABILITIES {
  NDIS_DEVICE_POWER_STATE MinMagicPacketWakeUp;
  NDIS_DEVICE_POWER_STATE MinPatternWakeUp;
  NDIS_DEVICE_POWER_STATE MinLinkChangeWakeUp;
} NDIS_PM_WAKE_UP_CAPABILITIES, *PNDIS_PM_WAKE_UP_CAPABILITIES;

typedef struct _NDIS_PNP_CAPABILITIES {
  ULONG Flags;
  NDIS_PM_WAKE_UP_CAPABILITIES WakeUpCapabilities;
} NDIS_PNP_CAPABILITIES, *PNDIS_PNP_CAPABILITIES;

typedef enum _NDIS_INTERFACE_TYPE {
  NdisInterfaceInternal = 0,
  NdisInterfaceIsa = 1,
  NdisInterfaceEisa = 2,
  NdisInterfaceMca = 3,
  NdisInterfaceTurboChannel = 4,
  NdisInterfacePci = 5,
  NdisInterfacePcMcia = 8,
  NdisInterfaceCBus = 9,
  NdisInterfaceMPIBus = 10,
  NdisInterfaceMPSABus = 11,
  NdisInterfaceProcessorInternal = 12,
  NdisInterfaceInternalPowerBus = 13,
  NdisInterfacePNPISABus = 14,
  NdisInterfacePNPBus = 15,
  NdisInterfaceUSB,
  NdisInterfaceIrda,
  NdisInterface1394,
  NdisMaximumInterfaceType
} NDIS_INTERFACE_TYPE,
    *PNDIS_INTERFACE_TYPE;

typedef enum _NDIS_PARAMETER_TYPE {
  NdisParameterInteger,
  NdisParameterHexInteger,
  NdisParameterString,
  NdisParameterMultiString,
  NdisParameterBinary
} NDIS_PARAMETER_TYPE,
    *PNDIS_PARAMETER_TYPE;

typedef struct _BINARY_DATA {
  USHORT Length;
  PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
    BINARY_DATA BinaryData;
  } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// ---- Spin locks (the DDK's macros over the kernel's spin locks) ------------------
typedef struct _NDIS_SPIN_LOCK {
  KSPIN_LOCK SpinLock;
  KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

#define NdisAllocateSpinLock(_SpinLock) KeInitializeSpinLock(&(_SpinLock)->SpinLock)
#define NdisAcquireSpinLock(_SpinLock) \
  KeAcquireSpinLock(&(_SpinLock)->SpinLock, &(_SpinLock)->OldIrql)
#define NdisReleaseSpinLock(_SpinLock) \
  KeReleaseSpinLock(&(_SpinLock)->SpinLock, (_SpinLock)->OldIrql)
#define NdisDprAcquireSpinLock(_SpinLock) KeAcquireSpinLockAtDpcLevel(&(_SpinLock)->SpinLock)
#define NdisDprReleaseSpinLock(_SpinLock) KeReleaseSpinLockFromDpcLevel(&(_SpinLock)->SpinLock)
// Nothing to free on the platform; the host checks that the lock is not held.
#define NdisFreeSpinLock(_SpinLock) HostNdisFreeSpinLock(_SpinLock)

// ---- Memory -------------------------------------------------------------------
#define NdisZeroMemory(Destination, Length) RtlZeroMemory(Destination, Length)
#define NdisFillMemory(Destination, Length, Fill) RtlFillMemory(Destination, Length, Fill)
#define NdisEqualMemory(Source1, Source2, Length) RtlEqualMemory(Source1, Source2, Length)
// A copy between overlapping ranges is undefined on the platform; the host
// bug checks it.
#define NdisMoveMemory(Destination, Source, Length) \
  HostNdisMoveMemory((Destination), (Source), (Length))

#define NdisInterlockedIncrement(Addend) InterlockedIncrement(Addend)
#define NdisInterlockedDecrement(Addend) InterlockedDecrement(Addend)

// ---- Timers -------------------------------------------------------------------
typedef VOID(NTAPI NDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                        PVOID SystemSpecific2, PVOID SystemSpecific3);
typedef NDIS_TIMER_FUNCTION* PNDIS_TIMER_FUNCTION;

// The host keeps a timer's state in the NDIS library and marks the object it
// initialized; the fields are not for drivers.
typedef struct _NDIS_TIMER {
  ULONG HostMagic;
  ULONG HostSerial;
  PVOID HostRecord;
} NDIS_TIMER, *PNDIS_TIMER;

typedef struct _NDIS_MINIPORT_TIMER {
  NDIS_TIMER Timer;
  PNDIS_TIMER_FUNCTION MiniportTimerFunction;
  PVOID MiniportTimerContext;
  PNDIS_MINIPORT_BLOCK Miniport;
  struct _NDIS_MINIPORT_TIMER* NextDeferredTimer;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

// ---- Interrupts (declared for records that describe them; never registered) ----
typedef VOID(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);

typedef struct _NDIS_MINIPORT_INTERRUPT {
  PVOID InterruptObject;
  KSPIN_LOCK DpcCountLock;
  PVOID Reserved;
  W_ISR_HANDLER MiniportIsr;
  W_HANDLE_INTERRUPT_HANDLER MiniportDpc;
  PVOID InterruptDpc[8];
  PNDIS_MINIPORT_BLOCK Miniport;
  UCHAR DpcCount;
  BOOLEAN Filler1;
  KEVENT DpcsCompletedEvent;
  BOOLEAN SharedInterrupt;
  BOOLEAN IsrRequested;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// ---- Work items (NdisScheduleWorkItem runs the routine at PASSIVE_LEVEL) ----
struct _NDIS_WORK_ITEM;
// The platform's NDIS is built with stdcall as its default convention, so it
// calls a work item's routine as stdcall although the prototype names none.
typedef VOID(NTAPI* NDIS_PROC)(struct _NDIS_WORK_ITEM*, PVOID);
typedef struct _NDIS_WORK_ITEM {
  PVOID Context;
  NDIS_PROC Routine;
  UCHAR WrapperReserved[8 * sizeof(PVOID)];
} NDIS_WORK_ITEM, *PNDIS_WORK_ITEM;
#define NdisInitializeWorkItem(_WI_, _R_, _C_) \
  {                                            \
    (_WI_)->Context = _C_;                     \
    (_WI_)->Routine = _R_;                     \
  }

// ---- Packets ------------------------------------------------------------------
typedef struct _NDIS_PACKET_PRIVATE {
  UINT PhysicalCount;
  UINT TotalLength;
  PNDIS_BUFFER Head;
  PNDIS_BUFFER Tail;
  PNDIS_PACKET_POOL Pool;
  UINT Count;
  ULONG Flags;
  BOOLEAN ValidCounts;
  UCHAR NdisPacketFlags;
  USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  __extension__ union {
    __extension__ struct {
      UCHAR MiniportReserved[2 * sizeof(PVOID)];
      UCHAR WrapperReserved[2 * sizeof(PVOID)];
    };
    __extension__ struct {
      UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
      UCHAR WrapperReservedEx[sizeof(PVOID)];
    };
    __extension__ struct { UCHAR MacReserved[4 * sizeof(PVOID)]; };
  };
  ULONG_PTR Reserved[2];
  UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

typedef struct _NDIS_PACKET_OOB_DATA {
  __extension__ union {
    ULONGLONG TimeToSend;
    ULONGLONG TimeSent;
  };
  ULONGLONG TimeReceived;
  UINT HeaderSize;
  UINT SizeMediaSpecificInfo;
  PVOID MediaSpecificInformation;
  NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

#define NDIS_OOB_DATA_FROM_PACKET(_Packet) \
  (PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset)
#define NDIS_GET_PACKET_HEADER_SIZE(_Packet) \
  ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset))->HeaderSize
#define NDIS_GET_PACKET_STATUS(_Packet) \
  ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset))->Status
#define NDIS_SET_PACKET_HEADER_SIZE(_Packet, _HdrSize)                                  \
  ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset)) \
      ->HeaderSize = (_HdrSize)
#define NDIS_SET_PACKET_STATUS(_Packet, _Status)                                                  \
  ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset))->Status = \
      (_Status)

#define NDIS_PACKET_FIRST_NDIS_BUFFER(_Packet) ((_Packet)->Private.Head)
#define NDIS_PACKET_LAST_NDIS_BUFFER(_Packet) ((_Packet)->Private.Tail)
#define NDIS_PACKET_VALID_COUNTS(_Packet) ((_Packet)->Private.ValidCounts)
#define NdisGetPacketFlags(_Packet) ((_Packet)->Private.Flags)
#define NdisSetPacketFlags(_Packet, _Flags) ((_Packet)->Private.Flags |= (_Flags))
#define NdisClearPacketFlags(_Packet, _Flags) ((_Packet)->Private.Flags &= ~(_Flags))

#define NdisReinitializePacket(Packet)           \
  {                                              \
    (Packet)->Private.Head = (PNDIS_BUFFER)NULL; \
    (Packet)->Private.ValidCounts = FALSE;       \
  }
#define NdisRecalculatePacketCounts(Packet)        \
  {                                                \
    PNDIS_BUFFER _Buffer = (Packet)->Private.Head; \
    if (_Buffer != NULL) {                         \
      while (_Buffer->Next != NULL) {              \
        _Buffer = _Buffer->Next;                   \
      }                                            \
      (Packet)->Private.Tail = _Buffer;            \
    }                                              \
    (Packet)->Private.ValidCounts = FALSE;         \
  }

// ---- Buffers (macros over the MDL, as in the DDK) ---------------------------------
#define NDIS_BUFFER_LINKAGE(Buffer) (Buffer)->Next
#define NdisAdjustBufferLength(Buffer, Length) (((Buffer)->ByteCount) = (Length))
#define NdisQueryBuffer(_Buffer, _VirtualAddress, _Length)               \
  {                                                                      \
    if ((PVOID)(_VirtualAddress) != NULL) {                              \
      *(PVOID*)(_VirtualAddress) = HostNdisBufferSystemAddress(_Buffer); \
    }                                                                    \
    *(_Length) = MmGetMdlByteCount(_Buffer);                             \
  }
#define NdisQueryBufferOffset(_Buffer, _Offset, _Length) \
  {                                                      \
    *(_Offset) = MmGetMdlByteOffset(_Buffer);            \
    *(_Length) = MmGetMdlByteCount(_Buffer);             \
  }
#define NdisGetNextBuffer(CurrentBuffer, NextBuffer) \
  { *(NextBuffer) = (CurrentBuffer)->Next; }

#define NdisChainBufferAtFront(Packet, Buffer)                                \
  {                                                                           \
    PNDIS_BUFFER _NdisBuffer = (Buffer);                                      \
    while (_NdisBuffer->Next != NULL)                                         \
      _NdisBuffer = _NdisBuffer->Next;                                        \
    if ((Packet)->Private.Head == NULL) (Packet)->Private.Tail = _NdisBuffer; \
    _NdisBuffer->Next = (Packet)->Private.Head;                               \
    (Packet)->Private.Head = (Buffer);                                        \
    (Packet)->Private.ValidCounts = FALSE;                                    \
  }

#define NdisChainBufferAtBack(Packet, Buffer)  \
  {                                            \
    PNDIS_BUFFER _NdisBuffer = (Buffer);       \
    while (_NdisBuffer->Next != NULL)          \
      _NdisBuffer = _NdisBuffer->Next;         \
    _NdisBuffer->Next = NULL;                  \
    if ((Packet)->Private.Head != NULL)        \
      (Packet)->Private.Tail->Next = (Buffer); \
    else                                       \
      (Packet)->Private.Head = (Buffer);       \
    (Packet)->Private.Tail = _NdisBuffer;      \
    (Packet)->Private.ValidCounts = FALSE;     \
  }

// ---- Handler table ------------------------------------------------------------
typedef BOOLEAN(NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterContext,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                           UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NTAPI* ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);
typedef VOID(NTAPI* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                             PNDIS_PACKET Packet);
typedef VOID(NTAPI* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                            PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef VOID(NTAPI* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 PVOID VirtualAddress,
                                                 PNDIS_PHYSICAL_ADDRESS PhysicalAddress,
                                                 ULONG Length, PVOID Context);
typedef NDIS_STATUS(NTAPI MINIPORT_CO_CREATE_VC)(NDIS_HANDLE MiniportAdapterContext,
                                                 NDIS_HANDLE NdisVcHandle,
                                                 PNDIS_HANDLE MiniportVcContext);
typedef MINIPORT_CO_CREATE_VC* W_CO_CREATE_VC_HANDLER;
typedef NDIS_STATUS(NTAPI MINIPORT_CO_DELETE_VC)(NDIS_HANDLE MiniportVcContext);
typedef MINIPORT_CO_DELETE_VC* W_CO_DELETE_VC_HANDLER;
typedef NDIS_STATUS(NTAPI MINIPORT_CO_ACTIVATE_VC)(NDIS_HANDLE MiniportVcContext,
                                                   PCO_CALL_PARAMETERS CallParameters);
typedef MINIPORT_CO_ACTIVATE_VC* W_CO_ACTIVATE_VC_HANDLER;
typedef NDIS_STATUS(NTAPI MINIPORT_CO_DEACTIVATE_VC)(NDIS_HANDLE MiniportVcContext);
typedef MINIPORT_CO_DEACTIVATE_VC* W_CO_DEACTIVATE_VC_HANDLER;
typedef VOID(NTAPI* W_CO_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportVcContext,
                                               PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef NDIS_STATUS(NTAPI* W_CO_REQUEST_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 NDIS_HANDLE MiniportVcContext,
                                                 PNDIS_REQUEST NdisRequest);

// In C++ the versions nest, as in the DDK: chars.Ndis40Chars.Ndis30Chars.X.
typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
  UCHAR MajorNdisVersion;
  UCHAR MinorNdisVersion;
  UINT Reserved;
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
  W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
  W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
  W_HALT_HANDLER HaltHandler;
  W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
  W_INITIALIZE_HANDLER InitializeHandler;
  W_ISR_HANDLER ISRHandler;
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
  W_RECONFIGURE_HANDLER ReconfigureHandler;
  W_RESET_HANDLER ResetHandler;
  W_SEND_HANDLER SendHandler;
  W_SET_INFORMATION_HANDLER SetInformationHandler;
  W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS, *PSNDIS30_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
  NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;
  W_SEND_PACKETS_HANDLER SendPacketsHandler;
  W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS, *PNDIS40_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS50_MINIPORT_CHARACTERISTICS {
  NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
  W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
  W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
  W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
  W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
  W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
  W_CO_REQUEST_HANDLER CoRequestHandler;
} NDIS50_MINIPORT_CHARACTERISTICS, *PSNDIS50_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
  NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
  W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
  W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
  W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
  W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
  W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
  W_CO_REQUEST_HANDLER CoRequestHandler;
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// ---- The miniport block: indications and completions go through its handlers ----
typedef VOID(NTAPI* FILTER_PACKET_INDICATION_HANDLER)(NDIS_HANDLE Miniport,
                                                      PPNDIS_PACKET PacketArray,
                                                      UINT NumberOfPackets);
typedef VOID(NTAPI* NDIS_M_SEND_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle,
                                                  PNDIS_PACKET Packet, NDIS_STATUS Status);
typedef VOID(NTAPI* NDIS_M_RESET_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle,
                                                   NDIS_STATUS Status, BOOLEAN AddressingReset);
typedef VOID(NTAPI* NDIS_M_STATUS_HANDLER)(NDIS_HANDLE MiniportHandle, NDIS_STATUS GeneralStatus,
                                           PVOID StatusBuffer, UINT StatusBufferSize);
typedef VOID(NTAPI* NDIS_M_STS_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle);
typedef VOID(NTAPI* NDIS_M_REQ_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_STATUS Status);

// The host's block holds only what the DDK's macros call through. On x86 the
// handlers sit at the platform's offsets, because an image built against the
// DDK reaches them there; the gaps are the platform's fields the host has no
// use for.
struct _NDIS_MINIPORT_BLOCK {
  PVOID Signature;
  PVOID HostAdapter;  // the NDIS library's record of the adapter
#if defined(__i386__)
  UCHAR HostUnused1[232 - 2 * sizeof(PVOID)];
#endif
  FILTER_PACKET_INDICATION_HANDLER PacketIndicateHandler;
  NDIS_M_SEND_COMPLETE_HANDLER SendCompleteHandler;
  PVOID SendResourcesHandler;
  NDIS_M_RESET_COMPLETE_HANDLER ResetCompleteHandler;
#if defined(__i386__)
  UCHAR HostUnused2[380 - 248];
#endif
  NDIS_M_STATUS_HANDLER StatusHandler;
  NDIS_M_STS_COMPLETE_HANDLER StatusCompleteHandler;
  PVOID TDCompleteHandler;
  NDIS_M_REQ_COMPLETE_HANDLER QueryCompleteHandler;
  NDIS_M_REQ_COMPLETE_HANDLER SetCompleteHandler;
};

#define NdisMIndicateReceivePacket(MiniportAdapterHandle, ReceivePackets, NumberOfPackets) \
  (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->PacketIndicateHandler)(               \
      MiniportAdapterHandle, ReceivePackets, NumberOfPackets)
#define NdisMIndicateStatus(MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize) \
  (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->StatusHandler)(                              \
      MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize)
#define NdisMIndicateStatusComplete(MiniportAdapterHandle) \
  (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->StatusCompleteHandler)(MiniportAdapterHandle)
#define NdisMQueryInformationComplete(MiniportAdapterHandle, Status)                              \
  (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->QueryCompleteHandler)(MiniportAdapterHandle, \
                                                                           Status)
#define NdisMSetInformationComplete(MiniportAdapterHandle, Status)                              \
  (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->SetCompleteHandler)(MiniportAdapterHandle, \
                                                                         Status)
#define NdisMResetComplete(MiniportAdapterHandle, Status, AddressingReset)    \
  {                                                                           \
    (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->ResetCompleteHandler)( \
        MiniportAdapterHandle, Status, AddressingReset);                      \
  }
#define NdisMSendComplete(MiniportAdapterHandle, Packet, Status)                                   \
  {                                                                                                \
    (*((PNDIS_MINIPORT_BLOCK)(MiniportAdapterHandle))->SendCompleteHandler)(MiniportAdapterHandle, \
                                                                            Packet, Status);       \
  }

// ---- Calls ----------------------------------------------------------------------
extern "C" {
// Registration
VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);
VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);

// Adapter setup
VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE MiniportAdapterContext, UINT CheckForHangTimeInSeconds,
                                ULONG AttributeFlags, NDIS_INTERFACE_TYPE AdapterType);
VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                  PDEVICE_OBJECT* PhysicalDeviceObject,
                                  PDEVICE_OBJECT* FunctionalDeviceObject,
                                  PDEVICE_OBJECT* NextDeviceObject,
                                  PCM_RESOURCE_LIST* AllocatedResources,
                                  PCM_RESOURCE_LIST* AllocatedResourcesTranslated);
VOID NTAPI NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                               ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

// Sends
VOID NTAPI NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle);

// Configuration
VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                  PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisInitUnicodeString(PNDIS_STRING DestinationString, PCWSTR SourceString);

// Memory
NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// Timers and delays
VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NTAPI NdisCancelTimer(PNDIS_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep);
VOID NTAPI NdisStallExecution(UINT MicrosecondsToStall);

// Packets and buffers
VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors, UINT ProtocolReservedLength);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors);
VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                              PVOID VirtualAddress, UINT Length);
VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer);
ULONG NTAPI NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer);
VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER* Buffer);
VOID NTAPI NdisUnchainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER* Buffer);

// Work items
NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem);

// Releases of resources the driver's resource tracker can describe (shared
// memory, port ranges, interrupts, map registers); this driver never obtains
// any of them.
VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                                 PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress);
VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                      UINT NumberOfPorts, PVOID PortOffset);
VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);

// Host checks behind the DDK's macros (not platform calls).
VOID HostNdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID HostNdisMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length);
PVOID HostNdisBufferSystemAddress(PNDIS_BUFFER Buffer);
}

// The DDK's inline NdisQueryPacket: walks the chain once and caches the counts
// in the packet's private area until the chain changes.
static inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount,
                                   PUINT BufferCount, PNDIS_BUFFER* FirstBuffer,
                                   PUINT TotalPacketLength) {
  if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
  if (TotalPacketLength || BufferCount || PhysicalBufferCount) {
    if (!Packet->Private.ValidCounts) {
      UINT Offset;
      UINT PacketLength;
      PNDIS_BUFFER NdisBuffer;
      UINT PhysicalCount = 0;
      UINT TotalLength = 0;
      UINT Count = 0;
      for (NdisBuffer = Packet->Private.Head; NdisBuffer != (PNDIS_BUFFER)NULL;
           NdisBuffer = NdisBuffer->Next) {
        PhysicalCount += NDIS_BUFFER_TO_SPAN_PAGES(NdisBuffer);
        NdisQueryBufferOffset(NdisBuffer, &Offset, &PacketLength);
        TotalLength += PacketLength;
        Count++;
      }
      Packet->Private.PhysicalCount = PhysicalCount;
      Packet->Private.TotalLength = TotalLength;
      Packet->Private.Count = Count;
      Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount) *BufferCount = Packet->Private.Count;
    if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
  }
}

#define NdisQueryPacketLength(_Packet, _TotalPacketLength)            \
  {                                                                   \
    if (!(_Packet)->Private.ValidCounts) {                            \
      NdisQueryPacket(_Packet, NULL, NULL, NULL, _TotalPacketLength); \
    } else                                                            \
      *(_TotalPacketLength) = (_Packet)->Private.TotalLength;         \
  }

#define NdisMInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2, \
                               SystemSpecific3)                                     \
  NdisInitializeWrapper((NdisWrapperHandle), (SystemSpecific1), (SystemSpecific2),  \
                        (SystemSpecific3))
