// Driver entry: registration with NDIS as a 5.0 miniport, and the one handler
// that has nothing to do.

#include "datapath/datapath.h"
#include "miniport/miniport.h"
#include "oid/oid.h"

#if !defined(USBETH_HOST_KERNEL)
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == usbeth::kMiniportCharacteristicsLength,
              "NDIS 5.0 characteristics are 96 bytes on 32-bit x86");
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  NDIS_HANDLE wrapper = nullptr;
  NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, nullptr);

  // Every entry not set here stays zero: the device has no interrupt of its
  // own and takes one packet per send call. The hang check reports a data
  // path stopped by a failed bulk transfer, so that NDIS resets the adapter.
  NDIS_MINIPORT_CHARACTERISTICS chars;
  NdisZeroMemory(&chars, sizeof(chars));
  chars.Ndis40Chars.Ndis30Chars.MajorNdisVersion = 5;
  chars.Ndis40Chars.Ndis30Chars.MinorNdisVersion = 0;
  chars.Ndis40Chars.Ndis30Chars.Reserved = 0;
  chars.Ndis40Chars.Ndis30Chars.CheckForHangHandler = usbeth::MiniportCheckForHang;
  chars.Ndis40Chars.Ndis30Chars.HaltHandler = usbeth::MiniportHalt;
  chars.Ndis40Chars.Ndis30Chars.InitializeHandler = usbeth::MiniportInitialize;
  chars.Ndis40Chars.Ndis30Chars.QueryInformationHandler = usbeth::MiniportQueryInformation;
  chars.Ndis40Chars.Ndis30Chars.ResetHandler = usbeth::MiniportReset;
  chars.Ndis40Chars.Ndis30Chars.SendHandler = usbeth::MiniportSend;
  chars.Ndis40Chars.Ndis30Chars.SetInformationHandler = usbeth::MiniportSetInformation;
  chars.Ndis40Chars.ReturnPacketHandler = usbeth::MiniportReturnPacket;

  const NDIS_STATUS status =
      NdisMRegisterMiniport(wrapper, &chars, usbeth::kMiniportCharacteristicsLength);
  if (status != NDIS_STATUS_SUCCESS) {
    // Nothing was registered; the wrapper has no further use.
    NdisTerminateWrapper(wrapper, nullptr);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

namespace usbeth {

// Received packets are indicated with NDIS_STATUS_RESOURCES, so NDIS copies
// them during the indication and never hands one back; sent packets belong
// to NDIS. There is nothing to return.
void NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet) {
  UNREFERENCED_PARAMETER(MiniportAdapterContext);
  UNREFERENCED_PARAMETER(Packet);
}

}  // namespace usbeth
