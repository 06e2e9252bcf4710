// From a scenario to what the simulation is made of: the board the hardware
// model builds, the registry the adapter reads, and the partner settings in
// the board's terms.
#pragma once

#include "hw/board_config.h"
#include "ndis/ndis.h"
#include "scenario.h"

namespace usbeth::sim {

// The address the link partner answers from when it echoes a frame (frames
// the partner sends of its own come from LinkPartnerConfig{}.mac).
constexpr hw::MacAddress kEchoMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0E};

// MII register 4 technology bits for the partner's abilities.
uint16_t ability_bits(const PartnerSetting& partner);
// "10half 10full 100half 100full"
std::string ability_names(const PartnerSetting& partner);

hw::LinkPartnerConfig partner_config(const PartnerSetting& partner);
hw::TimingConfig timing_config(const TimingSetting& timing, hw::TimingConfig base = {});
hw::DescriptorConfig descriptor_config(const DescriptorSetting& descriptors);
hw::BoardConfig board_for(const AdapterSetting& adapter, BusSpeedSetting bus,
                          const std::string& name = "");
host::ndis::AdapterRegistry registry_for(const AdapterSetting& adapter);

// "full", "high", "unthrottled"
const char* bus_name(BusSpeedSetting bus);
// Kind of a PHY identifier: "ethernet", "home" or "other".
const char* phy_kind(uint32_t id);

}  // namespace usbeth::sim
