// The NDIS set handler: packet filter, lookahead, multicast list and the
// power-management identifiers. Every request completes at once.
#include "controller/controller.h"
#include "oid/oid.h"
#include "phy/link_monitor.h"

namespace usbeth {
namespace {

// Packet types the controller cannot honour.
constexpr ULONG kRefusedPacketTypes = 0xF0D0;

// FilterMode bits handed to the controller.
constexpr UCHAR kModeMulticast = 0x01;
constexpr UCHAR kModeBroadcast = 0x02;
constexpr UCHAR kModePromiscuous = 0x16;
constexpr UCHAR kModeAllMulticast = 0x10;

UCHAR FilterModeFor(ULONG filter) {
  UCHAR mode = 0;
  if (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) mode = kModeAllMulticast;
  if (filter & NDIS_PACKET_TYPE_BROADCAST) mode |= kModeBroadcast;
  if (filter & NDIS_PACKET_TYPE_MULTICAST) mode |= kModeMulticast;
  if (filter & NDIS_PACKET_TYPE_PROMISCUOUS) mode |= kModePromiscuous;
  return mode;
}

NDIS_STATUS SetPacketFilter(Adapter* adapter, PVOID buffer, ULONG length, PULONG bytes_read,
                            PULONG bytes_needed) {
  if (length != sizeof(ULONG)) {
    *bytes_needed = sizeof(ULONG);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  ULONG filter;
  NdisMoveMemory(&filter, buffer, sizeof(filter));
  // The value is kept even when refused: a query reports what was last set.
  adapter->PacketFilter = filter;
  if (filter & kRefusedPacketTypes) return NDIS_STATUS_NOT_SUPPORTED;
  ApplyPacketFilter(adapter, FilterModeFor(filter));
  *bytes_read = sizeof(ULONG);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SetMulticastList(Adapter* adapter, PVOID buffer, ULONG length, PULONG bytes_read,
                             PULONG bytes_needed) {
  if (length % kEthernetAddressLength != 0) {
    *bytes_needed = kEthernetAddressLength;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  // A list longer than the record holds is refused whole rather than cut, so
  // the protocol knows that some of its addresses would not be kept.
  if (length > sizeof(adapter->MulticastList)) return NDIS_STATUS_MULTICAST_FULL;
  NdisMoveMemory(adapter->MulticastList, buffer, length);
  adapter->MulticastCount = static_cast<USHORT>(length / kEthernetAddressLength);
  if (ProgramMulticastList(adapter, adapter->MulticastCount) != kOk) {
    return NDIS_STATUS_RESOURCES;
  }
  *bytes_read = length;
  return NDIS_STATUS_SUCCESS;
}

}  // namespace

NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesRead, PULONG BytesNeeded) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  *BytesRead = 0;
  *BytesNeeded = 0;
  switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
      return SetPacketFilter(adapter, InformationBuffer, InformationBufferLength, BytesRead,
                             BytesNeeded);
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_PNP_ENABLE_WAKE_UP:
      // Accepted without effect.
      *BytesRead = InformationBufferLength;
      return NDIS_STATUS_SUCCESS;
    case OID_802_3_MULTICAST_LIST:
      return SetMulticastList(adapter, InformationBuffer, InformationBufferLength, BytesRead,
                              BytesNeeded);
    case OID_PNP_SET_POWER:
    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
      return NDIS_STATUS_NOT_SUPPORTED;
    default:
      return NDIS_STATUS_INVALID_OID;
  }
}

}  // namespace usbeth
