// The NDIS query handler: every answer comes at once from the Adapter record
// or from constants; the device is never touched and nothing pends.
#include "oid/oid.h"

namespace usbeth {
namespace {

constexpr char VendorDescription[] = "USB Fast Ethernet Network Device 5.0";
static_assert(sizeof(VendorDescription) == 37, "description with its terminating zero");

constexpr NDIS_OID SupportedOidList[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,
};
static_assert(sizeof(SupportedOidList) == 45 * 4, "45 identifiers of 32 bits");

constexpr ULONG kLookahead = 1500;
constexpr ULONG kMaxTotalSize = 1514;
constexpr ULONG kMaxListSize = 32;
constexpr USHORT kDriverVersion = 0x0500;
constexpr ULONG kMacOptions =
    NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
    NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK | NDIS_MAC_OPTION_FULL_DUPLEX;

// Link speed in units of 100 b/s.
ULONG LinkSpeedIn100bps(const Adapter* adapter) {
  switch (adapter->LinkSpeed) {
    case kSpeed100:
      return 1000000;
    case kSpeedHome:
      return 10000;
    default:
      return 100000;
  }
}

}  // namespace

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           PULONG BytesWritten, PULONG BytesNeeded) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  ULONG scratch = 0;
  const void* source = &scratch;
  ULONG length = sizeof(ULONG);

  switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
      source = SupportedOidList;
      length = sizeof(SupportedOidList);
      break;
    case OID_GEN_HARDWARE_STATUS:
      scratch = NdisHardwareStatusReady;
      break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
      scratch = NdisMedium802_3;
      break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD:
      scratch = kLookahead;
      break;
    case OID_GEN_LINK_SPEED:
      scratch = LinkSpeedIn100bps(adapter);
      break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
      scratch = adapter->TxDescriptorCount * kMaxTotalSize;
      break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
      scratch = adapter->RxDescriptorCount * kMaxTotalSize;
      break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
      scratch = kMaxTotalSize;
      break;
    case OID_GEN_VENDOR_ID:
      // The first four bytes of the permanent address, in address order.
      NdisMoveMemory(&scratch, adapter->PermanentAddress, sizeof(scratch));
      break;
    case OID_GEN_VENDOR_DESCRIPTION:
      source = VendorDescription;
      length = sizeof(VendorDescription);
      break;
    case OID_GEN_CURRENT_PACKET_FILTER:
      scratch = adapter->PacketFilter;
      break;
    case OID_GEN_DRIVER_VERSION:
    case OID_GEN_VENDOR_DRIVER_VERSION:
      scratch = kDriverVersion;
      length = sizeof(USHORT);
      break;
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN:
      scratch = 0;
      break;
    case OID_GEN_MAC_OPTIONS:
      scratch = kMacOptions;
      break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
      scratch = LoadShared(adapter->LinkState) == kLinkDown ? NdisMediaStateDisconnected
                                                            : NdisMediaStateConnected;
      break;
    case OID_GEN_MAXIMUM_SEND_PACKETS:
      scratch = adapter->TxDescriptorCount;
      break;
    case OID_GEN_XMIT_OK:
      scratch = LoadShared(adapter->Statistics.TxGoodFrames);
      break;
    case OID_GEN_RCV_OK:
      scratch = LoadShared(adapter->Statistics.RxGoodFrames);
      break;
    case OID_GEN_XMIT_ERROR:
      scratch = LoadShared(adapter->Statistics.TxErrors);
      break;
    case OID_GEN_RCV_ERROR:
      // Frames with a bad CRC and transfers that held no whole frame.
      scratch = LoadShared(adapter->Statistics.RxCrcErrors) +
                LoadShared(adapter->Statistics.RxFramingErrors);
      break;
    case OID_GEN_RCV_CRC_ERROR:
      scratch = LoadShared(adapter->Statistics.RxCrcErrors);
      break;
    case OID_802_3_PERMANENT_ADDRESS:
      source = adapter->PermanentAddress;
      length = kEthernetAddressLength;
      break;
    case OID_802_3_CURRENT_ADDRESS:
      source = adapter->CurrentAddress;
      length = kEthernetAddressLength;
      break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
      scratch = kMaxListSize;
      break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
      scratch = LoadShared(adapter->Statistics.RxAlignmentErrors);
      break;
    case OID_802_3_XMIT_ONE_COLLISION:
      scratch = LoadShared(adapter->Statistics.TxOneCollisions);
      break;
    case OID_802_3_XMIT_DEFERRED:
      scratch = LoadShared(adapter->Statistics.TxDeferred);
      break;
    case OID_802_3_XMIT_UNDERRUN:
      scratch = LoadShared(adapter->Statistics.TxUnderruns);
      break;
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_PNP_CAPABILITIES:
    case OID_PNP_QUERY_POWER:
    case OID_TCP_TASK_OFFLOAD:
    case OID_TCP_TASK_IPSEC_ADD_SA:
    case OID_TCP_TASK_IPSEC_DELETE_SA:
      return NDIS_STATUS_NOT_SUPPORTED;
    default:
      return NDIS_STATUS_INVALID_OID;
  }

  if (length > InformationBufferLength) {
    *BytesNeeded = length - InformationBufferLength;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  NdisMoveMemory(InformationBuffer, source, length);
  *BytesWritten = length;
  return NDIS_STATUS_SUCCESS;
}

}  // namespace usbeth
