// The hostile device at bring-up: the input decides the device and
// configuration descriptors the adapter reports (endpoint count, order,
// types, sizes, filler descriptors, wTotalLength, zero-length and overrunning
// descriptors, and then raw byte patches, cuts and extensions of both
// blobs). The driver must either refuse the device cleanly (the verifier's
// leak checks after a failed initialize) or come up, carry a frame and halt
// clean.
//
// Input: seed, flags, endpoint count, per endpoint {address, type, max packet
// (2 bytes), interval}, filler length (2 bytes), [zero-length index],
// [wTotalLength (2 bytes)], patch count, per patch {target|offset, value},
// cut, extension bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;

struct ServedDescriptors {
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;
};

hw::BoardConfig BoardFromInput(FuzzInput& in, uint8_t flags) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.speed = (flags & 0x01) ? hw::BusSpeed::High : hw::BusSpeed::Full;
  hw::DescriptorConfig& d = config.descriptors;
  d.pad_before_endpoints = (flags & 0x02) != 0;
  d.last_runs_past_end = (flags & 0x04) != 0;
  d.remote_wakeup_capable = (flags & 0x20) != 0;
  const unsigned endpoints = in.u8() % 7;
  if (endpoints != 3 || (flags & 0x80)) {
    d.endpoints.clear();
    for (unsigned i = 0; i < endpoints; i++) {
      hw::EndpointConfig ep;
      ep.address = in.u8();
      ep.kind = static_cast<hw::EndpointKind>(in.u8() & 0x03);
      ep.max_packet = static_cast<uint16_t>(in.u16() % 1025);
      ep.interval = in.u8();
      d.endpoints.push_back(ep);
    }
  }
  d.pad_bytes = in.u16() % 1024;
  if (flags & 0x10) d.zero_length_descriptor = in.u8() % 8;
  if (flags & 0x08) d.total_length = in.u16();
  return config;
}

void PatchDescriptors(FuzzInput& in, ServedDescriptors& served) {
  const unsigned patches = in.u8() % 48;
  for (unsigned i = 0; i < patches; i++) {
    const uint8_t where = in.u8();
    const uint8_t value = in.u8();
    std::vector<uint8_t>& blob = (where & 0x80) ? served.device : served.configuration;
    if (!blob.empty()) blob[(where & 0x7F) % blob.size()] = value;
  }
  // Cut the configuration short, or let it run on with whatever follows.
  const uint8_t cut = in.u8();
  if (cut != 0 && cut - 1u < served.configuration.size()) served.configuration.resize(cut - 1u);
  while (!in.empty())
    served.configuration.push_back(in.u8());
}

bool ServeDescriptor(const ServedDescriptors& served, const hw::SetupPacket& setup, uint8_t* data,
                     hw::ControlResult* result) {
  const uint8_t kind = static_cast<uint8_t>(setup.wValue >> 8);
  const std::vector<uint8_t>* blob = nullptr;
  if (kind == kDescriptorDevice) blob = &served.device;
  if (kind == kDescriptorConfiguration && (setup.wValue & 0xFF) == 0) blob = &served.configuration;
  if (blob == nullptr) return false;
  const size_t n = std::min<size_t>(blob->size(), setup.wLength);
  if (n != 0) std::memcpy(data, blob->data(), n);
  result->handshake = hw::Handshake::Ack;
  result->actual = n;
  return true;
}

void RunOne(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t seed = in.u8();
  const uint8_t flags = in.u8();
  hw::Board board(BoardFromInput(in, flags), host::kernel_clock());
  ServedDescriptors served{board.device_descriptor(), board.configuration_descriptor()};
  PatchDescriptors(in, served);

  HostileDevice device(board);
  device.descriptor = [&served](const hw::SetupPacket& setup, uint8_t* out,
                                hw::ControlResult* result) {
    return ServeDescriptor(served, setup, out, result);
  };

  host::TestbedOptions options;
  options.kernel.seed = seed;
  options.bus.completion =
      (flags & 0x40) ? host::usb::CompletionMode::Deferred : host::usb::CompletionMode::Seeded;
  options.initialize = false;
  host::Testbed bed(device, options);
  const NDIS_STATUS status = bed.adapter().initialize();
  if (Verbose()) {
    std::fprintf(stderr, "initialize 0x%08X, configuration %u, %zu+%zu descriptor bytes\n",
                 static_cast<unsigned>(status), board.configuration(), served.device.size(),
                 served.configuration.size());
  }
  if (status == NDIS_STATUS_SUCCESS) {
    // Up: the device must have been configured, and a frame must go out.
    if (board.configuration() != 1) Fail("initialize succeeded on an unconfigured device");
    std::vector<uint8_t> frame(60, 0xA5);
    bed.protocol().send(frame);
    bed.scheduler().run_for(20 * host::kMillisecond);
    bed.halt();
  }
  // The testbed's teardown unloads the driver and checks for leaks.
}

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_TARGET("fuzz_descriptors", usbeth::fuzz::RunOne)
