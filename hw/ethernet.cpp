#include "hw/ethernet.h"

namespace hw {

namespace {

// The reflected CRC-32 of IEEE 802.3, eight bytes per step ("slicing by
// eight": table k holds the CRC of a byte followed by k zero bytes). Every
// frame on the wire is summed once or twice, so this is on the data path of
// the whole model.
struct CrcTables {
  uint32_t entry[8][256];
  constexpr CrcTables() : entry() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
      entry[0][i] = crc;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int k = 1; k < 8; ++k)
        entry[k][i] = (entry[k - 1][i] >> 8) ^ entry[0][entry[k - 1][i] & 0xFF];
    }
  }
};
constexpr CrcTables kCrc;

uint32_t Load32LittleEndian(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

uint32_t EthernetCrc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  const auto& t = kCrc.entry;
  for (; len >= 8; data += 8, len -= 8) {
    const uint32_t lo = Load32LittleEndian(data) ^ crc;
    const uint32_t hi = Load32LittleEndian(data + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; len > 0; ++data, --len)
    crc = (crc >> 8) ^ t[0][(crc ^ *data) & 0xFF];
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
