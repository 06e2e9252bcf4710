// A test rig that drives the board the way the driver does: vendor register
// requests, the EEPROM and MII command sequences, and bulk transfers cut into
// packets, on a clock the test moves by hand.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "hw/board.h"
#include "hw/registers.h"

namespace hw {
namespace testing {

class Rig {
 public:
  explicit Rig(BoardConfig config)
      : board(std::move(config), [this] {
          ++clock_reads;
          return now;
        }) {}

  void Sleep(uint64_t ns) { now += ns; }

  ControlResult Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                        uint16_t length, uint8_t* data) {
    return board.control(SetupPacket{type, request, value, index, length}, data);
  }
  void Configure() { Control(0x00, 9, 1, 0, 0, nullptr); }

  void WriteRegs(uint8_t first, std::vector<uint8_t> bytes) {
    uint16_t value = bytes.size() == 1 ? bytes[0] : 0;
    Control(0x40, 0xF1, value, first, static_cast<uint16_t>(bytes.size()), bytes.data());
  }
  std::vector<uint8_t> ReadRegs(uint8_t first, uint16_t count) {
    std::vector<uint8_t> data(count);
    Control(0xC0, 0xF0, 0, first, count, data.data());
    return data;
  }

  // The driver's EEPROM word read: command, up to 100 polls 500 us apart,
  // then the data registers whatever the done bit said.
  uint16_t ReadEepromWord(uint8_t index, int* polls = nullptr) {
    WriteRegs(reg::kEepromIndex, {index, 0x00, 0x00, reg::kEepromRead});
    int n = 0;
    while (n < 100) {
      Sleep(500 * kMicrosecond);
      ++n;
      if (ReadRegs(reg::kEepromControl, 2)[0] & reg::kEepromDone) break;
    }
    if (polls) *polls = n;
    std::vector<uint8_t> d = ReadRegs(reg::kEepromDataLow, 3);
    return static_cast<uint16_t>(d[0] | d[1] << 8);
  }

  // The driver's synchronous MII access: command block into 0x25..0x28, then
  // an immediate read-back whose bit 7 of 0x28 says whether it was done.
  uint16_t PhyRead(uint8_t address, uint8_t r, bool* done = nullptr) {
    WriteRegs(reg::kMiiAddress, {address, 0x00, 0x00, static_cast<uint8_t>(0x40 | r)});
    std::vector<uint8_t> d = ReadRegs(reg::kMiiAddress, 4);
    if (done) *done = (d[3] & reg::kMiiDone) != 0;
    return static_cast<uint16_t>(d[1] | d[2] << 8);
  }
  bool PhyWrite(uint8_t address, uint8_t r, uint16_t value) {
    WriteRegs(reg::kMiiAddress, {address, static_cast<uint8_t>(value),
                                 static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(0x20 | r)});
    return (ReadRegs(reg::kMiiControl, 2)[0] & reg::kMiiDone) != 0;
  }

  // Receive control as the driver leaves it after enable and a filter set.
  void Enable(uint8_t rx0 = 0xF9, uint8_t rx1 = 0x30, uint8_t rx2 = 0x02) {
    WriteRegs(reg::kRxCtl0, {rx0, rx1, rx2});
  }

  // One bulk-out transfer, cut into max-packet pieces; a zero-length packet
  // follows a transfer that is a whole number of packets only when asked.
  void SendTransfer(const std::vector<uint8_t>& bytes, bool zero_length_packet) {
    const size_t mps = board.max_packet(board.bulk_out_endpoint());
    size_t pos = 0;
    do {
      size_t n = std::min(mps, bytes.size() - pos);
      board.bulk_out(board.bulk_out_endpoint(), bytes.data() + pos, n);
      pos += n;
      if (n < mps) return;
    } while (pos < bytes.size());
    if (zero_length_packet) board.bulk_out(board.bulk_out_endpoint(), nullptr, 0);
  }
  // A frame framed as the driver frames it: length prefix, padding to 60.
  static std::vector<uint8_t> Framed(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> t;
    t.reserve(std::max<size_t>(frame.size() + 2, 60));
    t.push_back(static_cast<uint8_t>(frame.size()));
    t.push_back(static_cast<uint8_t>(frame.size() >> 8));
    t.insert(t.end(), frame.begin(), frame.end());
    if (t.size() < 60) t.resize(60, 0xEE);
    return t;
  }

  // One bulk-in transfer of at most `limit` bytes: packets until a short one.
  // Empty when the first packet is a NAK.
  std::optional<std::vector<uint8_t>> ReceiveTransfer(size_t limit = 1536) {
    const uint8_t ep = board.bulk_in_endpoint();
    const size_t mps = board.max_packet(ep);
    std::vector<uint8_t> out;
    std::vector<uint8_t> packet(mps);
    while (out.size() < limit) {
      size_t len = 0;
      Handshake h = board.bulk_in(ep, packet.data(), mps, len);
      if (h != Handshake::Ack) {
        if (out.empty()) return std::nullopt;
        break;
      }
      out.insert(out.end(), packet.begin(), packet.begin() + len);
      if (len < mps) break;
    }
    return out;
  }

  uint64_t now = 0;
  uint64_t clock_reads = 0;  // the board reads its clock once a call, under its lock
  Board board;
};

}  // namespace testing
}  // namespace hw
