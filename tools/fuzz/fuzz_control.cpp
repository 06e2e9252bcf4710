// Every control answer during bring-up and the first link chains. The input
// picks the board (how many PHYs, where, with which identifiers, what is at
// the far end of their cables, how slow the EEPROM and MII done bits are)
// and then, request by request, standard or vendor, lets the device's answer
// through, replaces its data, flips bits in it, or stalls the request; each
// request completes at once or at the next frame as the input says. That
// reaches the configuration requests, every EEPROM and MII done bit, the
// node address, the PHY identifiers and the status bits the link chains read.
//
// Checked: the adapter comes up or refuses cleanly (the host's leak checks
// after a failed initialize); once up, whatever the answers said, its
// station address is a unicast one; it survives a few link polls with cable
// changes and halts clean (the leak checks at halt and unload).
//
// Each input builds its own machine: bring-up is what it fuzzes. The
// bulk-in read hangs at the bus, so that seconds of polling cost only the
// control requests they make.
//
// Input: flags, PHY count, per PHY {address, identifier choice, [identifier
// (4 bytes)], revision, partner bits, [abilities (2 bytes)]}, EEPROM delay,
// MII delay, poll count, cable script; then, per control request, a
// completion byte when it reaches the bus and a mode byte with its data when
// the device answers.
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

using host::usb::RequestFault;

const uint32_t kKnownIds[] = {hw::phyid::kEthernetA,   hw::phyid::kEthernetB, hw::phyid::kEthernetC,
                              hw::phyid::kEthernetD,   hw::phyid::kHomeA,     hw::phyid::kHomeB,
                              hw::phyid::kIsolatedKind};

hw::BoardConfig BoardFromInput(FuzzInput& in, uint8_t flags) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.speed = (flags & 0x01) ? hw::BusSpeed::High : hw::BusSpeed::Full;
  config.timing.autoneg_ns = (flags & 0x02) ? 1500 * hw::kMillisecond : 10 * hw::kMillisecond;
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

// What the device answers to one control request, decided by the next
// input byte: its own answer, bytes from the input in place of the data it
// returned, one byte of that data with bits flipped, or a stall.
void Tamper(FuzzInput& in, const hw::SetupPacket& setup, uint8_t* data, hw::ControlResult* result) {
  if (in.empty()) return;
  const uint8_t mode = in.u8();
  const bool reads = (setup.bmRequestType & 0x80) != 0;
  switch (mode & 0x03) {
    case 0:
      return;
    case 1:
      if (reads && result->handshake == hw::Handshake::Ack) {
        for (size_t i = 0; i < result->actual; i++)
          data[i] = in.u8();
      }
      return;
    case 2:
      if (reads && result->actual != 0) data[(mode >> 2) % result->actual] ^= in.u8();
      return;
    case 3:
      result->handshake = hw::Handshake::Stall;
      result->actual = 0;
      return;
  }
}

void RunOne(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.u8();
  hw::Board board(BoardFromInput(in, flags), host::kernel_clock());
  const unsigned polls = 1 + in.u8() % 4;
  const uint8_t plug_script = in.u8();

  HostileDevice device(board);
  device.after_control = [&in](const hw::SetupPacket& setup, uint8_t* out,
                               hw::ControlResult* result) { Tamper(in, setup, out, result); };

  host::TestbedOptions options;
  options.kernel.seed = 1 + (flags >> 4);
  options.initialize = false;
  host::Testbed bed(device, options);
  bed.bus().set_request_rule([&in](const host::usb::RequestInfo& info) {
    if (info.bulk) return info.in ? RequestFault::Hang : RequestFault::None;
    if (!in.empty() && (in.u8() & 1)) return RequestFault::None;
    return RequestFault::AtOnce;
  });
  const NDIS_STATUS status = bed.adapter().initialize();
  if (Verbose()) {
    std::fprintf(stderr, "initialize 0x%08X with %zu PHYs\n", static_cast<unsigned>(status),
                 board.config().phys.size());
  }
  if (status != NDIS_STATUS_SUCCESS) return;  // the teardown checks for leaks
  CheckStationAddress(bed.protocol());

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
}  // namespace usbeth::fuzz

USBETH_FUZZ_TARGET("fuzz_control", usbeth::fuzz::RunOne)
