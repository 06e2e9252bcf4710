// The register answers: the input picks the board (how many PHYs, where, with
// which identifiers, what is at the far end of their cables, how slow the
// EEPROM and MII done bits are) and then, request by request, lets the
// controller's answers through, replaces them, flips bits in them, or stalls
// the request. That reaches every EEPROM and MII done bit, every value read,
// the PHY identifiers and the status bits the link monitor reads, during
// initialization and a few link polls. The driver must come up or refuse
// cleanly, keep polling, and halt clean, whatever the registers say.
//
// Input: seed, flags, PHY count, per PHY {address, identifier choice,
// [identifier (4 bytes)], revision, partner bits, abilities}, EEPROM delay,
// MII delay, poll count; then one mode byte per vendor request with its data.
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

constexpr uint8_t kVendorRead = 0xF0;
constexpr uint8_t kVendorWrite = 0xF1;
const uint32_t kKnownIds[] = {hw::phyid::kEthernetA,   hw::phyid::kEthernetB, hw::phyid::kEthernetC,
                              hw::phyid::kEthernetD,   hw::phyid::kHomeA,     hw::phyid::kHomeB,
                              hw::phyid::kIsolatedKind};

hw::BoardConfig BoardFromInput(FuzzInput& in, uint8_t flags) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.speed = (flags & 0x01) ? hw::BusSpeed::High : hw::BusSpeed::Full;
  config.phys.clear();
  std::set<uint8_t> taken;
  const unsigned count = in.u8() % 4;
  for (unsigned i = 0; i < count; i++) {
    hw::PhyConfig phy;
    phy.mii_address = in.u8() % 32;
    const uint8_t choice = in.u8();
    phy.id = choice < 7 * 32 ? kKnownIds[choice % 7] : in.u32();
    phy.id = (phy.id & ~0xFu) | (in.u8() & 0xF);
    const uint8_t partner = in.u8();
    phy.partner.plugged = (partner & 0x01) == 0;
    phy.partner.autoneg = (partner & 0x02) == 0;
    phy.partner.home_network = (partner & 0x04) != 0;
    phy.partner.abilities = (partner & 0x08) ? (in.u16() & 0x01E0) : 0x01E0;
    if (taken.insert(phy.mii_address).second) config.phys.push_back(phy);
  }
  const uint8_t eeprom = in.u8();
  config.timing.eeprom_ns = eeprom == 0xFF ? hw::kNever : eeprom * 10 * hw::kMicrosecond;
  const uint8_t mii = in.u8();
  config.timing.mii_ns = mii == 0xFF ? hw::kNever : mii * hw::kMicrosecond;
  return config;
}

// What the device answers to one vendor request, decided by the next input
// byte: the controller's own answer, bytes from the input in its place, one
// byte of it with bits flipped, or a stall.
void Tamper(FuzzInput& in, const hw::SetupPacket& setup, uint8_t* data, hw::ControlResult* result) {
  if (in.empty() || (setup.bmRequestType & 0x60) != 0x40) return;  // vendor requests only
  const uint8_t mode = in.u8();
  switch (mode & 0x03) {
    case 0:
      return;
    case 1:
      if (setup.bRequest == kVendorRead) {
        for (size_t i = 0; i < result->actual; i++)
          data[i] = in.u8();
      }
      return;
    case 2:
      if (setup.bRequest == kVendorRead && result->actual != 0) {
        data[(mode >> 2) % result->actual] ^= in.u8();
      }
      return;
    case 3:
      if (setup.bRequest == kVendorRead || setup.bRequest == kVendorWrite) {
        result->handshake = hw::Handshake::Stall;
        result->actual = 0;
      }
      return;
  }
}

void RunOne(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t seed = in.u8();
  const uint8_t flags = in.u8();
  hw::Board board(BoardFromInput(in, flags), host::kernel_clock());
  const unsigned polls = 1 + in.u8() % 4;
  const uint8_t plug_script = in.u8();

  HostileDevice device(board);
  device.after_control = [&in](const hw::SetupPacket& setup, uint8_t* out,
                               hw::ControlResult* result) { Tamper(in, setup, out, result); };

  host::TestbedOptions options;
  options.kernel.seed = seed;
  options.bus.completion =
      (flags & 0x02) ? host::usb::CompletionMode::Deferred : host::usb::CompletionMode::Seeded;
  options.initialize = false;
  host::Testbed bed(device, options);
  const NDIS_STATUS status = bed.adapter().initialize();
  if (Verbose()) {
    std::fprintf(stderr, "initialize 0x%08X with %zu PHYs\n", static_cast<unsigned>(status),
                 board.config().phys.size());
  }
  if (status != NDIS_STATUS_SUCCESS) return;  // the teardown checks for leaks

  // A few link polls, with the first PHY's cable pulled or put back between
  // them as the input says.
  for (unsigned i = 0; i < polls; i++) {
    if ((plug_script >> i) & 1 && !board.config().phys.empty()) {
      const uint8_t address = board.config().phys[0].mii_address;
      board.plug(address, !board.phy_state(address).link_up);
    }
    bed.scheduler().run_for(3100 * host::kMillisecond);
  }
  const auto connected = bed.protocol().query_ulong(OID_GEN_MEDIA_CONNECT_STATUS);
  if (Verbose()) {
    std::fprintf(stderr, "  after %u polls at %llu ms: media %d, %zu status indications\n", polls,
                 static_cast<unsigned long long>(bed.scheduler().now() / host::kMillisecond),
                 connected ? static_cast<int>(*connected) : -1, bed.protocol().statuses().size());
  }
  bed.halt();
}

}  // namespace

unsigned TargetVariants() {
  return 1;
}

}  // namespace usbeth::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  usbeth::fuzz::RunGuarded("fuzz_registers", [&] { usbeth::fuzz::RunOne(data, size); });
  return 0;
}
