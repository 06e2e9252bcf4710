// The USB descriptors the adapter serves, built from its DescriptorConfig,
// including the deliberately wrong ones that robustness tests ask for.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/board_config.h"

namespace hw {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;
constexpr uint8_t kDescriptorQualifier = 6;
constexpr uint8_t kDescriptorVendorFiller = 0xFF;

// wMaxPacketSize of an endpoint as the descriptors give it.
uint16_t EndpointMaxPacket(const EndpointConfig& ep, BusSpeed speed);

std::vector<uint8_t> BuildDeviceDescriptor(const DescriptorConfig& layout, BusSpeed speed);
std::vector<uint8_t> BuildQualifierDescriptor();
// Configuration, interface, endpoints and filler, as one blob; its size is
// the real length whatever wTotalLength claims.
std::vector<uint8_t> BuildConfigurationDescriptor(const DescriptorConfig& layout, BusSpeed speed);

}  // namespace hw
