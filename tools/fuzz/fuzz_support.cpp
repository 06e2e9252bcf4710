#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nt/debug.h"
#include "sim/kernel.h"

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
  if (in_packets.empty()) return hw::Handshake::Nak;
  InPacket packet = std::move(in_packets.front());
  in_packets.pop_front();
  ++in_packets_played;
  if (packet.handshake != hw::Handshake::Ack) return packet.handshake;
  // A device cannot put more than one packet's worth on the bus at a time.
  len = std::min(packet.bytes.size(), max_packet);
  if (len != 0) std::memcpy(buf, packet.bytes.data(), len);
  return hw::Handshake::Ack;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "*** FUZZ ORACLE FAILED: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
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
    std::fflush(stderr);
    std::abort();
  }
  ResetProcessState();
}

}  // namespace usbeth::fuzz
