// A rig for the controller and PHY tests: the driver's register and MII
// operations run at PASSIVE_LEVEL under the deterministic host kernel against
// a board, and the tests read back what the board saw: register writes and
// reads, MII commands with their virtual times, PHY registers and states.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "controller/controller.h"
#include "driver_rig.h"
#include "phy/phy.h"

namespace usbeth_test {

// One MII management command as the controller received it: the four-byte
// block written to registers 0x25..0x28 in one request.
struct MiiCommand {
  host::Nanoseconds at = 0;
  uint8_t phy = 0;
  uint8_t reg = 0;
  bool write = false;
  uint16_t value = 0;  // the data bytes of the block (0 for a read)
  bool operator==(const MiiCommand& o) const {
    return phy == o.phy && reg == o.reg && write == o.write && value == o.value;
  }
};

inline std::ostream& operator<<(std::ostream& os, const MiiCommand& c) {
  return os << (c.write ? "write" : "read") << " phy " << int(c.phy) << " reg " << int(c.reg)
            << " value 0x" << std::hex << c.value << std::dec << " at " << c.at;
}

inline MiiCommand MiiWrite(uint8_t phy, uint8_t reg, uint16_t value) {
  MiiCommand c;
  c.phy = phy;
  c.reg = reg;
  c.write = true;
  c.value = value;
  return c;
}

inline MiiCommand MiiRead(uint8_t phy, uint8_t reg) {
  MiiCommand c;
  c.phy = phy;
  c.reg = reg;
  return c;
}

inline std::vector<MiiCommand> MiiCommands(hw::Board& board) {
  std::vector<MiiCommand> out;
  std::vector<hw::RegisterWrite> writes = board.register_writes();
  for (size_t i = 0; i + 3 < writes.size(); ++i) {
    const hw::RegisterWrite& w = writes[i];
    if (w.first != 0x25 || w.count != 4 || w.reg != 0x25 || writes[i + 3].request != w.request) {
      continue;
    }
    MiiCommand c;
    c.at = w.time_ns;
    c.phy = w.value;
    c.value = static_cast<uint16_t>(writes[i + 1].value | writes[i + 2].value << 8);
    c.reg = writes[i + 3].value & 0x1F;
    c.write = (writes[i + 3].value & 0x40) == 0;
    out.push_back(c);
    i += 3;
  }
  return out;
}

inline std::vector<MiiCommand> MiiWrites(hw::Board& board) {
  std::vector<MiiCommand> out;
  for (const MiiCommand& c : MiiCommands(board)) {
    if (c.write) out.push_back(c);
  }
  return out;
}

// Read commands of one PHY register (status probes, identifier reads).
inline size_t MiiReadsOf(hw::Board& board, uint8_t phy, uint8_t reg) {
  size_t n = 0;
  for (const MiiCommand& c : MiiCommands(board))
    n += !c.write && c.phy == phy && c.reg == reg;
  return n;
}

// Vendor read requests of `count` registers from `first`.
inline size_t RegisterReads(hw::Board& board, uint16_t first, uint16_t count) {
  size_t n = 0;
  for (const hw::RegisterRead& r : board.register_reads())
    n += r.first == first && r.count == count;
  return n;
}

// Writes of one request that started at `first`, as byte vectors in order.
inline std::vector<std::vector<uint8_t>> BlockWrites(hw::Board& board, uint16_t first) {
  std::vector<std::vector<uint8_t>> out;
  uint64_t request = 0;
  for (const hw::RegisterWrite& w : board.register_writes()) {
    if (w.first != first) continue;
    if (out.empty() || w.request != request) out.emplace_back();
    request = w.request;
    out.back().push_back(w.value);
  }
  return out;
}

// A zeroed Adapter wired to a board through the bus; no NDIS adapter.
class PhyRig {
 public:
  explicit PhyRig(hw::BoardConfig board, host::usb::BusOptions bus = host::usb::seeded_completion())
      : rig(Options(std::move(board), bus)) {
    adapter = std::make_unique<usbeth::Adapter>();
    adapter->LowerDevice = rig.spy->device();
    adapter->IrpStackSize = static_cast<UCHAR>(rig.spy->device()->StackSize + 1);
    KeInitializeSpinLock(&adapter->AsyncIrpLock);
  }
  ~PhyRig() {
    // Let every request still at the bus complete before the kernel's leak check.
    rig.scheduler().run_until_idle(60 * host::kSecond);
    host::faults().reset();
  }
  static RigOptions Options(hw::BoardConfig board, host::usb::BusOptions bus) {
    RigOptions o;
    o.board = std::move(board);
    o.bus = bus;
    o.load_driver = false;
    return o;
  }

  usbeth::Adapter* a() { return adapter.get(); }
  hw::Board& board() { return *rig.board; }
  host::Nanoseconds now() { return rig.now(); }
  void RunUntilIdle() { rig.scheduler().run_until_idle(60 * host::kSecond); }
  // The board is passive: its own events (links, resets) happen as the
  // clock moves, so waiting for them means letting virtual time pass.
  void RunFor(host::Nanoseconds d) { rig.RunFor(d); }

  // Bring-up as far as PHY selection, then forget what the board saw.
  void PowerUp(ULONG media_type = 0) {
    adapter->MediaType = media_type;
    usbeth::PowerUpPhys(adapter.get());
    rig.board->clear_logs();
  }

  DriverRig rig;
  std::unique_ptr<usbeth::Adapter> adapter;
};

inline hw::PhyConfig PhyAt(uint8_t address, uint32_t id, bool home_network = false) {
  hw::PhyConfig phy;
  phy.mii_address = address;
  phy.id = id;
  phy.partner.home_network = home_network;
  return phy;
}

inline hw::BoardConfig BoardWith(std::vector<hw::PhyConfig> phys) {
  hw::BoardConfig config = hw::boards::NoPhy();
  config.name = "custom";
  config.phys = std::move(phys);
  return config;
}

}  // namespace usbeth_test
