// The Ethernet controller's register map, as the model implements it.
//
// The controller is a file of 256 byte-wide registers reached with vendor
// control requests 0xF0 (read) and 0xF1 (write). A request for n registers
// from register r moves registers r .. r+n-1 in order; 16-bit quantities are
// held low byte first. Registers not listed below are plain storage.
//
//  0x00  RX_CTL0  receive control 0
//          0x01  receiver enable: frames from the wire are accepted only while set
//          0x02  all-multicast: every group-addressed frame passes the filter
//          0x08  transmitter enable: bulk-out frames reach the wire only while set
//          0xF4  stored, no effect (the usual enable value 0xF9 sets 0xF0 too)
//  0x01  RX_CTL1  receive control 1 / MAC mode
//          0x08  controller reset: writing 1 flushes the receive FIFO (frames not
//                yet started on the bulk-in pipe) and holds the MAC in reset;
//                the bit clears by itself once the reset is over
//          0x10  MAC runs at 100 Mb/s (0: 10 Mb/s)
//          0x20  MAC runs full duplex (0: half duplex)
//  0x02  RX_CTL2  receive control 2
//          0x02  accept broadcast frames (destination ff:ff:ff:ff:ff:ff)
//          0x04  promiscuous: every frame passes the address filter
//  0x08..0x0F  multicast hash, 64 bits: bit (i & 7) of register 0x08 + (i >> 3)
//          lets through group addresses whose hash index i is set, where
//          i = the top six bits of the Ethernet CRC-32 (the frame check sequence
//          value) computed over the six destination address bytes
//  0x10..0x15  station address; loaded from EEPROM words 0..2 at power-on
//  0x1C..0x1D  alive parameter (stored)
//  0x20  EEPROM word index (0..15; higher bits ignored)
//  0x21..0x22  EEPROM data, low byte in 0x21
//  0x23  EEPROM control and status
//          0x01  write the data registers into the word (command)
//          0x02  read the word into the data registers (command)
//          0x04  done: cleared when a command starts, set when it has finished
//  0x25  MII PHY address (bits 0..4)
//  0x26..0x27  MII data, low byte in 0x26
//  0x28  MII control and status
//          0x1F  PHY register number
//          0x20  write command, 0x40 read command (writing 0x28 starts it)
//          0x80  done: cleared when a command starts, set when it has finished;
//                after a read the data registers hold the PHY register value
//  0x7C..0x81  GPIO block. Each GPIO register drives two pins; pin k of a
//          register has its output value in bit 3k+1 and its output enable in
//          bit 3k+2 (bit 3k is the input level, read-only in real parts, stored
//          here). A pin not enabled floats to its board pull.
//          Register 0x7E pin 0 (value 0x02, enable 0x04) is the reset line of
//          every PHY, active low, pulled up: driven low, the PHYs are held in
//          hardware reset (registers at their defaults, no MII answer, no link).
//          Register 0x7E pin 1 (value 0x10, enable 0x20) is the power-down pin
//          of the Ethernet PHYs (not the home-network ones), active high,
//          pulled down: driven high, they lose link and carry no traffic.
//          The other pins drive LEDs and are stored only.
#pragma once

#include <cstdint>

namespace hw {
namespace reg {

constexpr uint8_t kRxCtl0 = 0x00;
constexpr uint8_t kRxCtl1 = 0x01;
constexpr uint8_t kRxCtl2 = 0x02;
constexpr uint8_t kMulticastHash = 0x08;   // 8 registers
constexpr uint8_t kStationAddress = 0x10;  // 6 registers
constexpr uint8_t kAliveParam = 0x1C;      // 2 registers
constexpr uint8_t kEepromIndex = 0x20;
constexpr uint8_t kEepromDataLow = 0x21;
constexpr uint8_t kEepromDataHigh = 0x22;
constexpr uint8_t kEepromControl = 0x23;
constexpr uint8_t kMiiAddress = 0x25;
constexpr uint8_t kMiiDataLow = 0x26;
constexpr uint8_t kMiiDataHigh = 0x27;
constexpr uint8_t kMiiControl = 0x28;
constexpr uint8_t kGpioFirst = 0x7C;
constexpr uint8_t kGpioPhyControl = 0x7E;

// RX_CTL0
constexpr uint8_t kRxEnable = 0x01;
constexpr uint8_t kAllMulticast = 0x02;
constexpr uint8_t kTxEnable = 0x08;
// RX_CTL1
constexpr uint8_t kMacReset = 0x08;
constexpr uint8_t kMac100 = 0x10;
constexpr uint8_t kMacFullDuplex = 0x20;
// RX_CTL2
constexpr uint8_t kAcceptBroadcast = 0x02;
constexpr uint8_t kPromiscuous = 0x04;
// EEPROM control
constexpr uint8_t kEepromWrite = 0x01;
constexpr uint8_t kEepromRead = 0x02;
constexpr uint8_t kEepromDone = 0x04;
// MII control
constexpr uint8_t kMiiRegisterMask = 0x1F;
constexpr uint8_t kMiiWrite = 0x20;
constexpr uint8_t kMiiRead = 0x40;
constexpr uint8_t kMiiDone = 0x80;
// GPIO register 0x7E
constexpr uint8_t kPhyResetValue = 0x02;
constexpr uint8_t kPhyResetEnable = 0x04;
constexpr uint8_t kEthPowerDownValue = 0x10;
constexpr uint8_t kEthPowerDownEnable = 0x20;

}  // namespace reg

// Receive status byte, byte n-2 of every bulk-in transfer of n bytes. The
// trailer is: bytes 0..1 the frame length including its 4 CRC bytes (12 bits,
// little-endian), byte 2 this status byte, byte 3 zero.
namespace rxstat {
constexpr uint8_t kMulticast = 0x01;     // destination is a group address
constexpr uint8_t kRunt = 0x02;          // shorter than 64 bytes with CRC
constexpr uint8_t kTooLong = 0x04;       // longer than 1518 bytes with CRC
constexpr uint8_t kCrcError = 0x08;      // frame check sequence wrong
constexpr uint8_t kAlignError = 0x10;    // frame did not end on a byte boundary
constexpr uint8_t kBroadcast = 0x20;     // destination is the broadcast address
constexpr uint8_t kAddressMatch = 0x40;  // destination is the station address
}  // namespace rxstat

// Clause-22 MII register numbers and bits used by the PHY model.
namespace mii {
constexpr uint8_t kBmcr = 0;
constexpr uint8_t kBmsr = 1;
constexpr uint8_t kPhyId1 = 2;
constexpr uint8_t kPhyId2 = 3;
constexpr uint8_t kAnar = 4;
constexpr uint8_t kAnlpar = 5;
constexpr uint8_t kAner = 6;
constexpr uint8_t kPageSelect = 31;

constexpr uint16_t kBmcrReset = 0x8000;
constexpr uint16_t kBmcrLoopback = 0x4000;
constexpr uint16_t kBmcrSpeed100 = 0x2000;
constexpr uint16_t kBmcrAnEnable = 0x1000;
constexpr uint16_t kBmcrPowerDown = 0x0800;
constexpr uint16_t kBmcrIsolate = 0x0400;
constexpr uint16_t kBmcrAnRestart = 0x0200;
constexpr uint16_t kBmcrFullDuplex = 0x0100;

constexpr uint16_t kBmsrLink = 0x0004;
constexpr uint16_t kBmsrAnAbility = 0x0008;
constexpr uint16_t kBmsrAnComplete = 0x0020;

// Technology ability bits of registers 4 and 5.
constexpr uint16_t kAbility10Half = 0x0020;
constexpr uint16_t kAbility10Full = 0x0040;
constexpr uint16_t kAbility100Half = 0x0080;
constexpr uint16_t kAbility100Full = 0x0100;
constexpr uint16_t kAbilityMask = 0x01E0;
constexpr uint16_t kSelector8023 = 0x0001;
constexpr uint16_t kAck = 0x4000;
}  // namespace mii

}  // namespace hw
