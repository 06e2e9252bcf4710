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
// is set the bulk-in endpoint plays the packets given to Play() instead of the
// board's FIFO (NAK when the script has run dry).
//
// For the bus's idle skipping it says how long its NAKs hold: the scripted
// endpoint NAKs until the next Play(), which calls the bus back; the board's
// endpoints as the board says. A control answer a hook may rewrite promises
// nothing.
class HostileDevice : public hw::UsbDevice {
 public:
  explicit HostileDevice(hw::Board& board) : board_(board) {}

  std::function<bool(const hw::SetupPacket&, uint8_t* data, hw::ControlResult* result)> descriptor;
  std::function<void(const hw::SetupPacket&, uint8_t* data, hw::ControlResult* result)>
      after_control;
  bool script_bulk_in = false;
  uint64_t in_packets_played = 0;

  // Queues a packet for the scripted bulk-in endpoint.
  void Play(InPacket packet) {
    in_packets_.push_back(std::move(packet));
    if (in_packets_.size() == 1 && change_hook_) change_hook_();
  }
  // Drops what is still unplayed (the bus is not told: fewer packets only
  // means more NAKs).
  void ClearScript() { in_packets_.clear(); }
  size_t unplayed() const { return in_packets_.size(); }

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
  uint64_t naks_until(uint8_t endpoint_address) override;
  void set_change_hook(std::function<void()> hook) override {
    change_hook_ = hook;
    board_.set_change_hook(std::move(hook));
  }

  hw::Board& board() { return board_; }

 private:
  hw::Board& board_;
  std::deque<InPacket> in_packets_;
  std::function<void()> change_hook_;
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
// input once per variant. Each target defines it (the macros below do).
unsigned TargetVariants();

// One input through the target's kept machines: Machine(variant, build)
// brings one up, bool Machine::Run(FuzzInput&) runs the input and says
// whether the machine can serve the next one.
template <class Machine>
void RunOnKeptMachine(const char* target, unsigned variants, uint64_t rebuild_every,
                      const uint8_t* data, size_t size) {
  static auto* machines = new Persistent<Machine>(target, variants, rebuild_every);
  RunGuarded(target, [&] {
    FuzzInput in(data, size);
    if (!machines->Acquire(data, size).Run(in)) machines->Retire();
  });
}

// For LLVMFuzzerInitialize: adds -detect_leaks=0 to the fuzzer's arguments
// unless they set it (a machine kept across inputs is not a leak).
void DisableLeakSanitizerPerInput(int* argc, char*** argv);

// USBETH_FUZZ_VERBOSE=1 in the environment: each target prints one line per
// input saying what became of it (to check that a corpus reaches what it
// means to reach).
bool Verbose();

}  // namespace usbeth::fuzz

// The entry points of a target whose machine serves input after input
// (libFuzzer's, or the replayer's under other builds). Used at file scope;
// MACHINE is named with its namespace.
#define USBETH_FUZZ_KEPT_MACHINE_TARGET(NAME, MACHINE, VARIANTS, REBUILD_EVERY)             \
  unsigned usbeth::fuzz::TargetVariants() {                                                 \
    return (VARIANTS);                                                                      \
  }                                                                                         \
  extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {                            \
    usbeth::fuzz::DisableLeakSanitizerPerInput(argc, argv);                                 \
    return 0;                                                                               \
  }                                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {                 \
    usbeth::fuzz::RunOnKeptMachine<MACHINE>(NAME, (VARIANTS), (REBUILD_EVERY), data, size); \
    return 0;                                                                               \
  }

// The entry points of a target that runs each input on its own:
// RUN(const uint8_t* data, size_t size), named with its namespace.
#define USBETH_FUZZ_TARGET(NAME, RUN)                                       \
  unsigned usbeth::fuzz::TargetVariants() {                                 \
    return 1;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    usbeth::fuzz::RunGuarded(NAME, [&] { RUN(data, size); });               \
    return 0;                                                               \
  }
