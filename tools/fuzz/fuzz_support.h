// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes
// into choices, a USB device that sits in front of a board and lets those
// choices replace what the board answers, and the guard that turns a
// verifier bug check into a crash the fuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "hw/board.h"
#include "hw/usb_device.h"

namespace usbeth::fuzz {

// Reads the input front to back; once it is used up every read returns 0, so
// a short input means "the honest device from here on".
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t left() const { return empty() ? 0 : size_ - pos_; }

  uint8_t u8() { return empty() ? 0 : data_[pos_++]; }
  uint16_t u16() {
    uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }
  bool flag() { return (u8() & 1) != 0; }
  // A value in [0, bound), bound > 0.
  uint32_t below(uint32_t bound) { return bound <= 256 ? u8() % bound : u16() % bound; }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; i++)
      out.push_back(u8());
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// One bulk-in packet the hostile device hands the bus.
struct InPacket {
  hw::Handshake handshake = hw::Handshake::Ack;
  std::vector<uint8_t> bytes;
};

// A device in front of a board. Every request goes to the board unless a hook
// takes it: `descriptor` may serve GET_DESCRIPTOR answers, `after_control`
// may rewrite (or refuse) what the board answered, and while `script_bulk_in`
// is set the bulk-in endpoint plays `in_packets` instead of the board's FIFO
// (NAK when the script has run dry).
class HostileDevice : public hw::UsbDevice {
 public:
  explicit HostileDevice(hw::Board& board) : board_(board) {}

  std::function<bool(const hw::SetupPacket&, uint8_t* data, hw::ControlResult* result)> descriptor;
  std::function<void(const hw::SetupPacket&, uint8_t* data, hw::ControlResult* result)>
      after_control;
  bool script_bulk_in = false;
  std::deque<InPacket> in_packets;
  uint64_t in_packets_played = 0;

  hw::ControlResult control(const hw::SetupPacket& setup, uint8_t* data) override;
  hw::Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) override {
    return board_.bulk_out(endpoint, data, len);
  }
  hw::Handshake bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet, size_t& len) override;
  void reset_endpoint(uint8_t endpoint_address) override {
    board_.reset_endpoint(endpoint_address);
  }
  hw::BusSpeed speed() const override { return board_.speed(); }

  hw::Board& board() { return board_; }

 private:
  hw::Board& board_;
};

// Runs one input: fn builds the machine, drives it and tears it down. A bug
// check, or an oracle's failure reported through Fail(), prints what happened
// and aborts, which the fuzzer records as a crash with the input.
void RunGuarded(const char* target, const std::function<void()>& fn);
[[noreturn]] void Fail(const std::string& what);

// Quiets the driver's debug output and resets the process-wide fault rules
// before and after each input.
void ResetProcessState();

// USBETH_FUZZ_VERBOSE=1 in the environment: each target prints one line per
// input saying what became of it (to check that a corpus reaches what it
// means to reach).
bool Verbose();

}  // namespace usbeth::fuzz
