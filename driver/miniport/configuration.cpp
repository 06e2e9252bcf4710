// Registry settings of an adapter: five integer keywords and the optional
// network address, read once during bring-up after the defaults are in place.
// A value that is missing or unreadable leaves its default.

#include "miniport/configuration.h"

// A counted wide string for a literal keyword, where the platform headers
// do not provide one.
#ifndef NDIS_STRING_CONST
#define NDIS_STRING_CONST(x) \
  { sizeof(u##x) - sizeof(char16_t), sizeof(u##x), (PWSTR)(u##x) }
#endif

namespace usbeth {

namespace {

struct KeywordEntry {
  NDIS_STRING Keyword;
  PULONG Field;  // null ends the table
};

}  // namespace

ULONG ReadConfiguration(Adapter* adapter) {
  NDIS_STATUS status;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, adapter->WrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) return kFailed;

  // Every value is read as a hexadecimal integer: a string "11" in the
  // registry is 17.
  KeywordEntry keywords[] = {
      {NDIS_STRING_CONST("TxPacketDesc"), &adapter->TxDescriptorCount},
      {NDIS_STRING_CONST("RxPacketDesc"), &adapter->RxDescriptorCount},
      {NDIS_STRING_CONST("MediaType"), &adapter->MediaType},
      {NDIS_STRING_CONST("HomeLan"), &adapter->HomeLanMode},
      {NDIS_STRING_CONST("AlivePara"), &adapter->AlivePara},
      {NDIS_STRING_CONST("TxQueueDepth"), &adapter->TxQueueDepth},
      {NDIS_STRING_CONST("RxQueueDepth"), &adapter->RxQueueDepth},
      {NDIS_STRING_CONST(""), nullptr},
  };
  for (KeywordEntry* entry = keywords; entry->Field != nullptr; ++entry) {
    PNDIS_CONFIGURATION_PARAMETER value = nullptr;
    NdisReadConfiguration(&status, &value, configuration, &entry->Keyword, NdisParameterHexInteger);
    if (status == NDIS_STATUS_SUCCESS && value != nullptr) {
      *entry->Field = value->ParameterData.IntegerData;
    }
  }

  // A configured station address replaces the EEPROM one only when it has
  // exactly six bytes.
  PVOID address = nullptr;
  UINT length = 0;
  NdisReadNetworkAddress(&status, &address, &length, configuration);
  if (status == NDIS_STATUS_SUCCESS && address != nullptr && length == kEthernetAddressLength) {
    NdisMoveMemory(adapter->CurrentAddress, address, kEthernetAddressLength);
  }

  NdisCloseConfiguration(configuration);
  return kOk;
}

}  // namespace usbeth
