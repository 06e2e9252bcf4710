#include "hw/board_spec.h"

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

BoardSpec Base(const char* name) {
  BoardSpec spec;
  spec.name = name;
  spec.eeprom = EepromWithAddress(kDefaultStation);
  return spec;
}

PhySpec Ethernet(uint8_t address, uint32_t id) {
  PhySpec phy;
  phy.mii_address = address;
  phy.id = id;
  return phy;
}

PhySpec Home(uint8_t address, uint32_t id, bool network) {
  PhySpec phy;
  phy.mii_address = address;
  phy.id = id;
  phy.partner.home_network = network;
  return phy;
}

}  // namespace

BoardSpec SingleEthernet(uint32_t id) {
  BoardSpec spec = Base("single-ethernet");
  // A nonzero revision nibble, which the driver masks off.
  spec.phys.push_back(Ethernet(1, id | 0x4));
  return spec;
}

BoardSpec EthernetAndHome() {
  BoardSpec spec = Base("ethernet-and-home");
  spec.phys.push_back(Ethernet(1, phyid::kEthernetA | 0x4));
  spec.phys.push_back(Home(3, phyid::kHomeA | 0x1, false));
  return spec;
}

BoardSpec HomeWithIsolated() {
  BoardSpec spec = Base("home-with-isolated");
  spec.phys.push_back(Ethernet(1, phyid::kIsolatedKind));
  spec.phys.push_back(Home(3, phyid::kHomeA, true));
  return spec;
}

BoardSpec SingleHome(uint32_t id) {
  BoardSpec spec = Base("single-home");
  spec.phys.push_back(Home(1, id, true));
  return spec;
}

BoardSpec FivePhys() {
  BoardSpec spec = Base("five-phys");
  spec.phys.push_back(Ethernet(0, phyid::kEthernetB));
  spec.phys.push_back(Home(2, phyid::kHomeB, true));
  spec.phys.push_back(Ethernet(4, phyid::kEthernetC));
  spec.phys.push_back(Home(6, phyid::kHomeA, false));
  spec.phys.push_back(Ethernet(8, 0x01234560));  // unrecognised
  return spec;
}

BoardSpec NoPhy() {
  return Base("no-phy");
}

}  // namespace boards
}  // namespace hw
