#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define USBETH_FUZZ_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define USBETH_FUZZ_SANITIZED 1
#endif
// A sanitizer runtime (AddressSanitizer, or UndefinedBehaviorSanitizer alone
// in the fast fuzz build) reports through its death callback.
#if USBETH_FUZZ_SANITIZED || USBETH_FUZZ_UBSAN
#define USBETH_FUZZ_DEATH_CALLBACK 1
#include <sanitizer/common_interface_defs.h>
#endif

#include "nt/debug.h"
#include "sim/kernel.h"

#if USBETH_LIBFUZZER && USBETH_FUZZ_SANITIZED
// AddressSanitizer's defaults for the fuzz targets, which spend most of their
// time allocating: short allocation stacks in reports, a smaller quarantine
// for freed memory (still far more than one input frees) and fresh blocks
// filled only at their start. ASAN_OPTIONS overrides any of them, e.g.
// malloc_context_size=30 for the full stacks when replaying a crash.
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=4:quarantine_size_mb=32:max_malloc_fill_size=256";
}
#endif

namespace usbeth::fuzz {

namespace {
constexpr uint8_t kStandardDeviceToHost = 0x80;
constexpr uint8_t kRequestGetDescriptor = 6;
}  // namespace

hw::ControlResult HostileDevice::control(const hw::SetupPacket& setup, uint8_t* data) {
  hw::ControlResult result;
  if (descriptor && setup.bmRequestType == kStandardDeviceToHost &&
      setup.bRequest == kRequestGetDescriptor && descriptor(setup, data, &result)) {
    return result;
  }
  result = board_.control(setup, data);
  if (after_control) after_control(setup, data, &result);
  return result;
}

hw::Handshake HostileDevice::bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet,
                                     size_t& len) {
  if (!script_bulk_in || (endpoint & 0x0F) != (board_.bulk_in_endpoint() & 0x0F)) {
    return board_.bulk_in(endpoint, buf, max_packet, len);
  }
  len = 0;
  if (in_packets_.empty()) return hw::Handshake::Nak;
  InPacket packet = std::move(in_packets_.front());
  in_packets_.pop_front();
  ++in_packets_played;
  if (packet.handshake != hw::Handshake::Ack) return packet.handshake;
  // A device cannot put more than one packet's worth on the bus at a time.
  len = std::min(packet.bytes.size(), max_packet);
  if (len != 0) std::memcpy(buf, packet.bytes.data(), len);
  if (record_played) played.emplace_back(buf, buf + len);
  return hw::Handshake::Ack;
}

uint64_t HostileDevice::naks_until(uint8_t endpoint_address) {
  if ((endpoint_address & 0x0F) == 0) {
    // The hooks may answer in place of the board.
    if (descriptor || after_control) return 0;
    return board_.naks_until(endpoint_address);
  }
  if (script_bulk_in && (endpoint_address & 0x0F) == (board_.bulk_in_endpoint() & 0x0F)) {
    // Only Play() ends the NAKs, and it calls the bus back.
    return in_packets_.empty() ? UINT64_MAX : 0;
  }
  return board_.naks_until(endpoint_address);
}

namespace {
std::string& MachineNote() {
  static std::string* note = new std::string;
  return *note;
}

void PrintMachineNote() {
  if (!MachineNote().empty()) std::fprintf(stderr, "    (%s)\n", MachineNote().c_str());
}

struct History {
  const char* target = nullptr;
  unsigned variant = 0;
  std::vector<std::vector<uint8_t>> inputs;
};

History& TheHistory() {
  static History* history = new History;
  return *history;
}
}  // namespace

void NoteMachineBuilt(const char* target, unsigned variant) {
#if USBETH_FUZZ_DEATH_CALLBACK
  // The runtime keeps one death callback: this one takes the place of
  // libFuzzer's, so it writes the failing input too (the history's last).
  static const bool registered = [] {
    __sanitizer_set_death_callback(&WriteHistory);
    return true;
  }();
  (void)registered;
#endif
  History& history = TheHistory();
  history.target = target;
  history.variant = variant;
  history.inputs.clear();
}

void NoteInput(const uint8_t* data, size_t size) {
  TheHistory().inputs.emplace_back(data, data + size);
}

void WriteHistory() {
  const History& history = TheHistory();
  if (history.target == nullptr || history.inputs.empty()) return;
  char dir[96];
  std::snprintf(dir, sizeof dir, "history-%s-%d", history.target, static_cast<int>(getpid()));
  if (mkdir(dir, 0755) != 0) return;
  for (size_t i = 0; i < history.inputs.size(); i++) {
    char name[160];
    std::snprintf(name, sizeof name, "%s/%06zu", dir, i);
    if (FILE* file = std::fopen(name, "wb")) {
      std::fwrite(history.inputs[i].data(), 1, history.inputs[i].size(), file);
      std::fclose(file);
    }
  }
  std::fprintf(stderr,
               "    the %zu inputs this machine served, the last one failing, are in %s/;\n"
               "    replay them in order through one machine with the replayer (default build):\n"
               "    %s --persistent --variant=%u %s\n",
               history.inputs.size(), dir, history.target, history.variant, dir);
}

namespace {
std::vector<std::function<void()>>& Retirements() {
  static auto* retirements = new std::vector<std::function<void()>>;
  return *retirements;
}
}  // namespace

void RegisterRetire(std::function<void()> retire) {
  Retirements().push_back(std::move(retire));
}

void RetireMachines() {
  for (auto& retire : Retirements())
    retire();
}

ReplaySettings& Replay() {
  static ReplaySettings settings;
  return settings;
}

void SetMachineNote(std::string note) {
  MachineNote() = std::move(note);
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "*** FUZZ ORACLE FAILED: %s\n", what.c_str());
  PrintMachineNote();
  WriteHistory();
  std::fflush(stderr);
  std::abort();
}

void CheckStationAddress(host::ndis::Protocol& protocol) {
  auto request = protocol.query(OID_802_3_CURRENT_ADDRESS, 6);
  const std::vector<uint8_t> address = request->data();
  if (!request->completed.load() || request->status != NDIS_STATUS_SUCCESS || address.size() < 6) {
    Fail("the station address query failed");
  }
  const bool zero =
      std::all_of(address.begin(), address.begin() + 6, [](uint8_t b) { return b == 0; });
  if (zero || (address[0] & 1) != 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1],
                  address[2], address[3], address[4], address[5]);
    Fail(std::string("the station address is not a unicast address: ") + text);
  }
}

void DisableLeakSanitizerPerInput(int* argc, char*** argv) {
  for (int i = 1; i < *argc; i++) {
    if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0) return;
  }
  // libFuzzer parses its flags after LLVMFuzzerInitialize, from the array
  // left here; it lives as long as the process.
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char flag[] = "-detect_leaks=0";
  args.insert(args.begin() + 1, flag);
  args.push_back(nullptr);
  *argv = args.data();
  *argc = static_cast<int>(args.size() - 1);
}

bool Verbose() {
  static const bool verbose = [] {
    const char* value = std::getenv("USBETH_FUZZ_VERBOSE");
    return value != nullptr && value[0] == '1';
  }();
  return verbose;
}

void ResetProcessState() {
  host::faults().reset();
  host::clear_debug_output();
}

void RunGuarded(const char* target, const std::function<void()>& fn) {
  ResetProcessState();
  try {
    fn();
  } catch (const host::BugCheck& e) {
    std::fprintf(stderr, "*** BUG CHECK in %s: %s\n%s\n", target, e.code.c_str(), e.what());
    PrintMachineNote();
    WriteHistory();
    std::fflush(stderr);
    std::abort();
  }
  ResetProcessState();
}

}  // namespace usbeth::fuzz
