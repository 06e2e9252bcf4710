// The station address stored in the adapter's EEPROM, read word by word
// through the controller's EEPROM registers 0x20..0x23.
#include "controller/controller.h"

#include "usb/usb_transport.h"

namespace usbeth {

namespace {
constexpr ULONG kEepromWords = 16;
}  // namespace

USHORT ReadEepromWord(Adapter* adapter, UCHAR word_index) {
  adapter->RegWriteBuffer[0] = word_index;
  adapter->RegWriteBuffer[1] = 0x00;
  adapter->RegWriteBuffer[2] = 0x00;
  adapter->RegWriteBuffer[3] = kEepromReadWord;
  WriteRegisters(adapter, 4, kRegEepromIndex);

  // Only a read-back that actually arrived can show the done bit: after a
  // failed request the buffer still holds an older register value.
  for (ULONG poll = 0; poll < kEepromPolls; ++poll) {
    SleepMicroseconds(kEepromPollDelayUs);
    if (ReadRegisters(adapter, 2, kRegEepromControl) == kOk &&
        (adapter->RegReadBuffer[0] & kEepromDone) != 0) {
      break;
    }
  }

  // Read the data registers whether or not the done bit came: the word is
  // then whatever they hold.
  ReadRegisters(adapter, 3, kRegEepromData);
  return static_cast<USHORT>((adapter->RegReadBuffer[1] << 8) | adapter->RegReadBuffer[0]);
}

ULONG ReadPermanentAddress(Adapter* adapter) {
  UCHAR image[2 * kEepromWords];
  for (ULONG index = 0; index < kEepromWords; ++index) {
    USHORT word = ReadEepromWord(adapter, static_cast<UCHAR>(index));
    image[2 * index] = static_cast<UCHAR>(word & 0xFF);
    image[2 * index + 1] = static_cast<UCHAR>(word >> 8);
  }
  for (ULONG i = 0; i < kEthernetAddressLength; ++i)
    adapter->PermanentAddress[i] = image[i];
  return kOk;
}

}  // namespace usbeth
