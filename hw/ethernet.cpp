#include "hw/ethernet.h"

namespace hw {

namespace {

// The reflected CRC-32 of IEEE 802.3, one table step per byte.
struct CrcTable {
  uint32_t entry[256];
  constexpr CrcTable() : entry() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
      entry[i] = crc;
    }
  }
};
constexpr CrcTable kCrcTable;

}  // namespace

uint32_t EthernetCrc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i)
    crc = (crc >> 8) ^ kCrcTable.entry[(crc ^ data[i]) & 0xFF];
  return ~crc;
}

unsigned MulticastHashIndex(const MacAddress& address) {
  return EthernetCrc32(address.data(), address.size()) >> 26;
}

std::vector<uint8_t> MakeFrame(const MacAddress& dst, const MacAddress& src, uint16_t ethertype,
                               const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(dst.begin(), dst.end());
  frame.insert(frame.end(), src.begin(), src.end());
  frame.push_back(static_cast<uint8_t>(ethertype >> 8));
  frame.push_back(static_cast<uint8_t>(ethertype));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

}  // namespace hw
