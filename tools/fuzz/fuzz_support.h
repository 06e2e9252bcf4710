// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes
// into choices, a USB device that sits in front of a board and lets those
// choices replace what the board answers, and the guard that turns a
// verifier bug check into a crash the fuzzer records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hw/board.h"
#include "hw/usb_device.h"
#include "ndis/protocol.h"

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
  // Every packet played on the scripted bulk-in pipe with an ACK, in order,
  // when `record_played` is set (the data path's oracle matches indications
  // against them); the caller empties it.
  bool record_played = false;
  std::vector<std::vector<uint8_t>> played;
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

// The station address the adapter reports must be a unicast address that
// is not all zero, whatever the device said.
void CheckStationAddress(host::ndis::Protocol& protocol);

// Quiets the driver's debug output and resets the process-wide fault rules
// before and after each input.
void ResetProcessState();

// How inputs meet machines. While fuzzing, one machine serves input after
// input (a bring-up costs as much as thousands of inputs): it is torn down
// and built again every so many inputs, or when an input left it in a state
// it cannot be brought back from, and every build takes the target's next
// variant (bus speed, board). The teardown is where the host's leak checks by
// tag run, so LeakSanitizer is not needed per input (the targets turn it
// off). The replayer instead asks for a fresh machine of one variant for
// every input, so that a crash file replays the same way every time, or for
// one machine over all its inputs as the fuzzer would run them.
struct ReplaySettings {
  bool fresh_per_input = false;
  int variant = -1;  // -1: the machine's own rotation
};
ReplaySettings& Replay();

// What Fail() and a bug check print besides their own message: which machine
// the input ran on and how many inputs it had served.
void SetMachineNote(std::string note);

// The inputs the current machine has served, kept so that a failure that
// depends on what came before can be replayed: Fail(), a bug check and a
// sanitizer report write them to a directory, in order, and say how to
// replay them through one machine.
void NoteMachineBuilt(const char* target, unsigned variant);
void NoteInput(const uint8_t* data, size_t size);
void WriteHistory();

// Tears down every machine still up (their leak checks run): the replayer
// calls it at the end.
void RetireMachines();
void RegisterRetire(std::function<void()> retire);

template <class Machine>
class Persistent {
 public:
  // Machine(variant, build) brings the machine up; ~Machine() tears it down.
  Persistent(const char* target, unsigned variants, uint64_t rebuild_every)
      : target_(target), variants_(variants), rebuild_every_(rebuild_every) {
    RegisterRetire([this] { Retire(); });
  }

  // The machine for the next input (data, size), built first when needed.
  Machine& Acquire(const uint8_t* data, size_t size) {
    const ReplaySettings& replay = Replay();
    const unsigned wanted =
        replay.variant >= 0 ? static_cast<unsigned>(replay.variant) % variants_ : next_variant_;
    if (machine_ && (replay.fresh_per_input || served_ >= rebuild_every_ ||
                     (replay.variant >= 0 && variant_ != wanted))) {
      Retire();
    }
    if (!machine_) {
      variant_ = wanted;
      next_variant_ = (wanted + 1) % variants_;
      served_ = 0;
      NoteMachineBuilt(target_, variant_);
      machine_ = std::make_unique<Machine>(variant_, builds_++);
    }
    ++served_;
    NoteInput(data, size);
    SetMachineNote(std::string(target_) + ": variant " + std::to_string(variant_) + ", build " +
                   std::to_string(builds_ - 1) + ", input " + std::to_string(served_) +
                   " on this machine");
    return *machine_;
  }

  // Tears the machine down now (leak checks included); the next input gets a
  // new one.
  void Retire() {
    machine_.reset();
    ResetProcessState();
  }

  uint64_t builds() const { return builds_; }

 private:
  const char* target_;
  unsigned variants_;
  uint64_t rebuild_every_;
  std::unique_ptr<Machine> machine_;
  unsigned variant_ = 0;
  unsigned next_variant_ = 0;
  uint64_t served_ = 0;
  uint64_t builds_ = 0;
};

// The number of variants each target's machine has: the replayer runs every
// input once per variant. Each target defines it.
unsigned TargetVariants();

// For LLVMFuzzerInitialize: adds -detect_leaks=0 to the fuzzer's arguments
// unless they set it (a machine kept across inputs is not a leak).
void DisableLeakSanitizerPerInput(int* argc, char*** argv);

// USBETH_FUZZ_VERBOSE=1 in the environment: each target prints one line per
// input saying what became of it (to check that a corpus reaches what it
// means to reach).
bool Verbose();

}  // namespace usbeth::fuzz
