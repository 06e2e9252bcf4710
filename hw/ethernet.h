// Ethernet arithmetic shared by the MAC model and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hw/board_config.h"

namespace hw {

// The Ethernet CRC-32 (reflected polynomial 0xEDB88320, initial value and
// final complement all ones): the value whose little-endian bytes form the
// frame check sequence.
uint32_t EthernetCrc32(const uint8_t* data, size_t len);

// Index 0..63 of a group address in the 64-bit multicast hash: the top six
// bits of EthernetCrc32 over the six address bytes.
unsigned MulticastHashIndex(const MacAddress& address);

// A frame from dst, src, ethertype and payload (no padding, no CRC).
std::vector<uint8_t> MakeFrame(const MacAddress& dst, const MacAddress& src, uint16_t ethertype,
                               const std::vector<uint8_t>& payload);

constexpr MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace hw
