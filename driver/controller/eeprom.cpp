// The station address stored in the adapter's EEPROM, read word by word
// through the controller's EEPROM registers 0x20..0x23.
#include "controller/controller.h"

#include "usb/usb_transport.h"

namespace usbeth {

namespace {
constexpr ULONG kEepromWords = 16;
}  // namespace

ULONG ReadEepromWordChecked(Adapter* adapter, UCHAR word_index, USHORT* word) {
  *word = 0;
  adapter->RegWriteBuffer[0] = word_index;
  adapter->RegWriteBuffer[1] = 0x00;
  adapter->RegWriteBuffer[2] = 0x00;
  adapter->RegWriteBuffer[3] = kEepromReadWord;
  if (WriteRegisters(adapter, 4, kRegEepromIndex) != kOk) return kFailed;

  // Polling stops at the first request that fails: its buffer holds no
  // answer, and a controller that refuses one read refuses the next.
  bool done = false;
  for (ULONG poll = 0; poll < kEepromPolls && !done; ++poll) {
    SleepMicroseconds(kEepromPollDelayUs);
    if (ReadRegisters(adapter, 2, kRegEepromControl) != kOk) return kFailed;
    done = (adapter->RegReadBuffer[0] & kEepromDone) != 0;
  }

  // Read the data registers whether or not the done bit came: the word is
  // then whatever they hold, and the caller is told it cannot be trusted.
  if (ReadRegisters(adapter, 3, kRegEepromData) != kOk) return kFailed;
  *word = static_cast<USHORT>((adapter->RegReadBuffer[1] << 8) | adapter->RegReadBuffer[0]);
  return done ? kOk : kEepromNotReady;
}

USHORT ReadEepromWord(Adapter* adapter, UCHAR word_index) {
  USHORT word = 0;
  ReadEepromWordChecked(adapter, word_index, &word);
  return word;
}

bool UsableStationAddress(const UCHAR* address) {
  // A group address (broadcast included) cannot name one station.
  if ((address[0] & kGroupAddressBit) != 0) return false;
  for (ULONG i = 0; i < kEthernetAddressLength; ++i) {
    if (address[i] != 0) return true;
  }
  return false;
}

void MakeRandomStationAddress(Adapter* adapter, UCHAR* address) {
  // The performance counter's low bits and the Adapter's pool address differ
  // from one start and one adapter to the next; mixed (splitmix64) they give
  // well-spread bits without floating point or a random source of the
  // platform.
  LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
  ULONGLONG x = static_cast<ULONGLONG>(counter.QuadPart) ^
                (static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(adapter)) << 17);
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  for (ULONG i = 0; i < kEthernetAddressLength; ++i)
    address[i] = static_cast<UCHAR>(x >> (8 * i));
  // One station, and an address nobody was assigned: unicast, locally
  // administered.
  address[0] = static_cast<UCHAR>((address[0] & ~kGroupAddressBit) | kLocalAddressBit);
}

ULONG ReadPermanentAddress(Adapter* adapter) {
  UCHAR image[2 * kEepromWords];
  bool address_ready = true;
  for (ULONG index = 0; index < kEepromWords; ++index) {
    USHORT word = 0;
    const ULONG result = ReadEepromWordChecked(adapter, static_cast<UCHAR>(index), &word);
    // A controller that does not answer leaves no address to go on.
    if (result == kFailed) return kFailed;
    if (result == kEepromNotReady && index < kEthernetAddressLength / 2) address_ready = false;
    image[2 * index] = static_cast<UCHAR>(word & 0xFF);
    image[2 * index + 1] = static_cast<UCHAR>(word >> 8);
  }
  for (ULONG i = 0; i < kEthernetAddressLength; ++i)
    adapter->PermanentAddress[i] = image[i];

  // An EEPROM that never finished a word of the address, or that holds a
  // group or all-zero address, gives the adapter no address of its own.
  if (!address_ready || !UsableStationAddress(adapter->PermanentAddress)) {
    MakeRandomStationAddress(adapter, adapter->PermanentAddress);
    const UCHAR* a = adapter->PermanentAddress;
    DbgPrint(
        "usbeth: the EEPROM holds no usable station address; using the locally "
        "administered address %02x:%02x:%02x:%02x:%02x:%02x\n",
        a[0], a[1], a[2], a[3], a[4], a[5]);
  }
  return kOk;
}

}  // namespace usbeth
