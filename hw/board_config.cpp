#include "hw/board_config.h"

#include <algorithm>

namespace hw {

std::array<uint16_t, 16> EepromWithAddress(const MacAddress& mac) {
  std::array<uint16_t, 16> words{};
  for (int i = 0; i < 3; ++i) {
    words[i] = static_cast<uint16_t>(mac[2 * i] | mac[2 * i + 1] << 8);
  }
  for (int i = 3; i < 16; ++i)
    words[i] = static_cast<uint16_t>(0x0100 * i + i);
  return words;
}

namespace boards {
namespace {

constexpr MacAddress kDefaultStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

BoardConfig Base(const char* name) {
  BoardConfig config;
  config.name = name;
  config.eeprom = EepromWithAddress(kDefaultStation);
  return config;
}

PhyConfig Ethernet(uint8_t address, uint32_t id) {
  PhyConfig phy;
  phy.mii_address = address;
  phy.id = id;
  return phy;
}

PhyConfig Home(uint8_t address, uint32_t id, bool network) {
  PhyConfig phy;
  phy.mii_address = address;
  phy.id = id;
  phy.partner.home_network = network;
  return phy;
}

}  // namespace

BoardConfig SingleEthernet(uint32_t id) {
  BoardConfig config = Base("single-ethernet");
  // A nonzero revision nibble, which the driver masks off.
  config.phys.push_back(Ethernet(1, id | 0x4));
  return config;
}

BoardConfig EthernetAndHome() {
  BoardConfig config = Base("ethernet-and-home");
  config.phys.push_back(Ethernet(1, phyid::kEthernetA | 0x4));
  config.phys.push_back(Home(3, phyid::kHomeA | 0x1, false));
  return config;
}

BoardConfig HomeWithIsolated() {
  BoardConfig config = Base("home-with-isolated");
  config.phys.push_back(Ethernet(1, phyid::kIsolatedKind));
  config.phys.push_back(Home(3, phyid::kHomeA, true));
  return config;
}

BoardConfig SingleHome(uint32_t id) {
  BoardConfig config = Base("single-home");
  config.phys.push_back(Home(1, id, true));
  return config;
}

BoardConfig FivePhys() {
  BoardConfig config = Base("five-phys");
  config.phys.push_back(Ethernet(0, phyid::kEthernetB));
  config.phys.push_back(Home(2, phyid::kHomeB, true));
  config.phys.push_back(Ethernet(4, phyid::kEthernetC));
  config.phys.push_back(Home(6, phyid::kHomeA, false));
  config.phys.push_back(Ethernet(8, 0x01234560));  // unrecognised
  return config;
}

BoardConfig NoPhy() {
  return Base("no-phy");
}

}  // namespace boards
uint64_t WireTimeNs(size_t frame_bytes, int mbps) {
  if (mbps <= 0) return 0;
  constexpr size_t kPreamble = 8, kFcs = 4, kGap = 12, kMinFrame = 60;
  const uint64_t bits = 8 * (kPreamble + std::max(frame_bytes, kMinFrame) + kFcs + kGap);
  return bits * 1000 / static_cast<uint64_t>(mbps);
}

}  // namespace hw
