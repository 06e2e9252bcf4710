// Controller register operations: reset, enable, packet filter, speed and
// duplex bits, EEPROM and PHY power-up.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

// Controller registers as the driver uses them. Sixteen-bit quantities are
// held low byte first (the lower-numbered register holds the low byte).
constexpr USHORT kRegRxControl0 = 0x00;      // shadow RxControl0
constexpr USHORT kRegRxControl1 = 0x01;      // shadow RxControl1: speed and duplex
constexpr USHORT kRegRxControl2 = 0x02;      // broadcast and promiscuous bits
constexpr USHORT kRegMulticastHash = 0x08;   // 8 registers
constexpr USHORT kRegStationAddress = 0x10;  // 6 registers
constexpr USHORT kRegAlivePara = 0x1C;       // 2 registers
constexpr USHORT kRegEepromIndex = 0x20;
constexpr USHORT kRegEepromData = 0x21;  // 2 registers, low byte first
constexpr USHORT kRegEepromControl = 0x23;
constexpr USHORT kRegMiiAddress = 0x25;
constexpr USHORT kRegMiiData = 0x26;  // 2 registers, low byte first
constexpr USHORT kRegMiiControl = 0x28;
constexpr USHORT kRegPowerUpPair = 0x7B;   // 2 registers
constexpr USHORT kRegPhyKindBlock = 0x7C;  // 4 or 6 registers, by PHY kind
constexpr USHORT kRegGpioPair = 0x7E;      // 2 registers
constexpr USHORT kRegGpioLink = 0x7F;

// Register bits.
constexpr UCHAR kRxControl0Enable = 0xF9;  // value written by EnableController
constexpr UCHAR kRxControl0AllMulticast = 0x02;
constexpr UCHAR kRxControl1Reset = 0x08;
constexpr UCHAR kRxControl1Speed100 = 0x10;
constexpr UCHAR kRxControl1FullDuplex = 0x20;
constexpr UCHAR kRxControl2Broadcast = 0x02;
constexpr UCHAR kRxControl2Promiscuous = 0x04;
constexpr UCHAR kEepromReadWord = 0x02;
constexpr UCHAR kEepromDone = 0x04;

// First byte of a station address.
constexpr UCHAR kGroupAddressBit = 0x01;
constexpr UCHAR kLocalAddressBit = 0x02;

// Result of an EEPROM word read whose done bit never came.
constexpr ULONG kEepromNotReady = 3;

// FilterMode bits, built by the packet-filter set handler from the NDIS filter.
constexpr UCHAR kFilterMulticast = 0x01;
constexpr UCHAR kFilterBroadcast = 0x02;
constexpr UCHAR kFilterPromiscuous = 0x04;
constexpr UCHAR kFilterAllMulticast = 0x10;

// Waits of the EEPROM word read.
constexpr ULONG kEepromPolls = 100;
constexpr ULONG kEepromPollDelayUs = 500;

// Blocking controller operations: PASSIVE_LEVEL only.
void ResetController(Adapter* adapter);
void EnableController(Adapter* adapter);
void ComputeMediaBits(Adapter* adapter);
// One EEPROM word: kOk, kEepromNotReady when the done bit never came (the
// word is then what the data registers held), or kFailed when a request
// failed (polling stops there; the word is 0).
ULONG ReadEepromWordChecked(Adapter* adapter, UCHAR word_index, USHORT* word);
// The same, the word alone.
USHORT ReadEepromWord(Adapter* adapter, UCHAR word_index);
// Fills PermanentAddress from EEPROM words 0..2, or with a random locally
// administered address when the EEPROM gives no usable one. kFailed when a
// request to the controller failed.
ULONG ReadPermanentAddress(Adapter* adapter);
// True for an address that can name this station: not a group address
// (broadcast included), not all zero.
bool UsableStationAddress(const UCHAR* address);
// A random unicast, locally administered address.
void MakeRandomStationAddress(Adapter* adapter, UCHAR* address);
ULONG PowerUpPhys(Adapter* adapter);

// Packet filter. Callable at any IRQL up to DISPATCH_LEVEL and never waits:
// the shadow RxControl0 is updated at once and registers 0x00..0x02 are
// written by an asynchronous request of the filter's own (own URB, IRP and
// data buffer; no use of RegWriteBuffer, NextStep or the async URB slots),
// so it never disturbs a running link chain. Sets that arrive while a write
// is in flight are coalesced: when it completes, one more write carries the
// latest shadows. Always returns 1.
ULONG ApplyPacketFilter(Adapter* adapter, UCHAR filter_mode);
// Blocking, PASSIVE_LEVEL: waits, in 1 ms rounds, until no packet-filter
// write is in flight or queued. Halt must call it before the adapter's memory
// is released. 1 when idle, 2 when `rounds` ran out.
ULONG WaitPacketFilterIdle(Adapter* adapter, ULONG rounds);
// After a controller restart, which clears the all-multicast bit of register
// 0x00 and the bits of register 0x02: puts `all_multicast` (the bit as it was
// before the restart) back into the shadow and writes registers 0x00..0x02
// from the shadows, as a packet-filter set does. Always returns 1.
ULONG RestorePacketFilter(Adapter* adapter, UCHAR all_multicast);
// Cancels a packet-filter write the device never answered; its completion
// leaves the shadows dirty for the next set or restore.
void CancelPacketFilterWrite(Adapter* adapter);
NTSTATUS NTAPI PacketFilterWriteComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

}  // namespace usbeth
