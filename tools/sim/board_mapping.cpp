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
  config.autoneg = p.autoneg;
  config.abilities = ability_bits(p);
  config.home_network = p.home_network;
  config.echo = p.echo;
  config.mac = kEchoMac;
  return config;
}

hw::TimingConfig timing_config(const TimingSetting& t, hw::TimingConfig base) {
  auto take = [](const std::optional<uint64_t>& v, uint64_t& out) {
    if (v) out = *v == kNeverNs ? hw::kNever : *v;
  };
  take(t.autoneg_ns, base.autoneg_ns);
  take(t.home_link_ns, base.home_link_ns);
  take(t.forced_link_ns, base.forced_link_ns);
  take(t.phy_reset_ns, base.phy_reset_ns);
  take(t.eeprom_ns, base.eeprom_ns);
  take(t.mii_ns, base.mii_ns);
  take(t.mac_reset_ns, base.mac_reset_ns);
  return base;
}

hw::DescriptorConfig descriptor_config(const DescriptorSetting& d) {
  hw::DescriptorConfig c;
  if (d.endpoints) {
    c.endpoints.clear();
    for (const EndpointSetting& e : *d.endpoints) {
      c.endpoints.push_back(
          {e.address, static_cast<hw::EndpointKind>(e.type), e.max_packet, e.interval});
    }
  }
  if (d.configuration_value) c.configuration_value = *d.configuration_value;
  c.total_length = d.total_length;
  c.pad_bytes = d.pad_bytes;
  c.pad_before_endpoints = d.pad_before_endpoints;
  c.zero_length_descriptor = d.zero_length_descriptor;
  c.last_runs_past_end = d.last_runs_past_end;
  if (d.remote_wakeup) c.remote_wakeup_capable = *d.remote_wakeup;
  return c;
}

hw::BoardConfig board_for(const AdapterSetting& a, BusSpeedSetting bus, const std::string& name) {
  hw::BoardConfig board;
  board.name = name.empty() ? a.name : name;
  board.timing = timing_config(a.timing);
  for (const PhySetting& phy : a.phys) {
    hw::PhyConfig config;
    config.mii_address = static_cast<uint8_t>(phy.address);
    config.id = phy.id;
    config.partner = partner_config(phy.partner);
    if (phy.timing.any()) config.timing = timing_config(phy.timing, board.timing);
    board.phys.push_back(config);
  }
  hw::MacAddress mac{};
  std::copy_n(a.eeprom_address.begin(), std::min<size_t>(6, a.eeprom_address.size()), mac.begin());
  board.eeprom = hw::EepromWithAddress(mac);
  board.descriptors = descriptor_config(a.descriptors);
  // Unthrottled runs on high-speed microframes without the per-frame budget.
  board.speed = bus == BusSpeedSetting::Full ? hw::BusSpeed::Full : hw::BusSpeed::High;
  return board;
}

host::ndis::AdapterRegistry registry_for(const AdapterSetting& a) {
  host::ndis::AdapterRegistry reg;
  for (const auto& [keyword, v] : a.registry.values) {
    if (v.is_string) {
      reg.set_string(keyword, v.text);
    } else {
      reg.set_integer(keyword, v.integer);
    }
  }
  if (a.registry.network_address) reg.set_network_address(*a.registry.network_address);
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
