#include "board_mapping.h"

#include <algorithm>

namespace usbeth::sim {

uint16_t ability_bits(const PartnerSetting& p) {
  return static_cast<uint16_t>((p.ability_10_half ? 0x0020 : 0) | (p.ability_10_full ? 0x0040 : 0) |
                               (p.ability_100_half ? 0x0080 : 0) |
                               (p.ability_100_full ? 0x0100 : 0));
}

std::string ability_names(const PartnerSetting& p) {
  std::string s;
  auto add = [&](bool on, const char* name) {
    if (!on) return;
    if (!s.empty()) s += " ";
    s += name;
  };
  add(p.ability_10_half, "10half");
  add(p.ability_10_full, "10full");
  add(p.ability_100_half, "100half");
  add(p.ability_100_full, "100full");
  return s.empty() ? "nothing" : s;
}

hw::LinkPartnerConfig partner_config(const PartnerSetting& p) {
  hw::LinkPartnerConfig config;
  config.plugged = p.plugged;
  config.autoneg = true;
  config.abilities = ability_bits(p);
  config.home_network = p.home_network;
  return config;
}

hw::BoardConfig board_for(const Scenario& s) {
  hw::BoardConfig board;
  board.name = s.name;
  for (const PhySetting& phy : s.phys) {
    hw::PhyConfig config;
    config.mii_address = static_cast<uint8_t>(phy.address);
    config.id = phy.id;
    config.partner = partner_config(phy.partner);
    board.phys.push_back(config);
  }
  hw::MacAddress mac{};
  std::copy_n(s.eeprom_address.begin(), std::min<size_t>(6, s.eeprom_address.size()), mac.begin());
  board.eeprom = hw::EepromWithAddress(mac);
  // Unthrottled runs on high-speed microframes without the per-frame budget.
  board.speed = s.bus == BusSpeedSetting::Full ? hw::BusSpeed::Full : hw::BusSpeed::High;
  return board;
}

host::ndis::AdapterRegistry registry_for(const Scenario& s) {
  host::ndis::AdapterRegistry reg;
  const RegistrySetting& r = s.registry;
  if (r.tx_packet_desc) reg.set_integer("TxPacketDesc", *r.tx_packet_desc);
  if (r.rx_packet_desc) reg.set_integer("RxPacketDesc", *r.rx_packet_desc);
  if (r.media_type) reg.set_integer("MediaType", *r.media_type);
  if (r.home_lan) reg.set_integer("HomeLan", *r.home_lan);
  if (r.alive_para) reg.set_integer("AlivePara", *r.alive_para);
  if (r.network_address) reg.set_network_address(*r.network_address);
  return reg;
}

const char* bus_name(BusSpeedSetting bus) {
  switch (bus) {
    case BusSpeedSetting::Full:
      return "full";
    case BusSpeedSetting::High:
      return "high";
    case BusSpeedSetting::Unthrottled:
      return "unthrottled";
  }
  return "full";
}

const char* phy_kind(uint32_t id) {
  switch (id & ~0xFu) {
    case hw::phyid::kHomeA:
    case hw::phyid::kHomeB:
      return "home";
    case hw::phyid::kEthernetA:
    case hw::phyid::kEthernetB:
    case hw::phyid::kEthernetC:
    case hw::phyid::kEthernetD:
      return "ethernet";
    default:
      return "other";
  }
}

}  // namespace usbeth::sim
