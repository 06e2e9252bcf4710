#include "hw/ethernet.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define USBETH_CRC_FOLDING 1
#endif

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

#ifdef USBETH_CRC_FOLDING

// Where the processor multiplies without carries, whole 16-byte blocks are
// folded into a 128-bit remainder instead: four lanes 64 bytes apart, then
// one, then Barrett's reduction to 32 bits. The constants are powers of x
// modulo the (bit-reflected) polynomial: x^(512+32) and x^(512-32) for the
// four-lane fold, x^(128+32) and x^(128-32) for the single fold, x^64 for
// the fold to 64 bits, then P itself and floor(x^64 / P). `crc` is the
// running register (not complemented); `len` is at least 64 and a multiple
// of 16.
#define USBETH_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

USBETH_FOLD_TARGET inline __m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x times the constants in k (high and low halves), added to the next block.
USBETH_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                       _mm_clmulepi64_si128(x, k, 0x00));
}

USBETH_FOLD_TARGET uint32_t FoldBlocks(const uint8_t* buf, size_t len, uint32_t crc) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x1 = _mm_xor_si128(load(buf), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
  buf += 64;
  len -= 64;
  for (; len >= 64; buf += 64, len -= 64) {
    x1 = fold(x1, k1k2, load(buf));
    x2 = fold(x2, k1k2, load(buf + 16));
    x3 = fold(x3, k1k2, load(buf + 32));
    x4 = fold(x4, k1k2, load(buf + 48));
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; len >= 16; buf += 16, len -= 16)
    x1 = fold(x1, k3k4, load(buf));
  // 128 bits to 64, then to 32 with Barrett's reduction.
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), poly, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

bool CanFold() {
  static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return can;
}

#endif

}  // namespace

uint32_t EthernetCrc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
#ifdef USBETH_CRC_FOLDING
  if (len >= 64 && CanFold()) {
    const size_t blocks = len & ~size_t{15};
    crc = FoldBlocks(data, blocks, crc);
    data += blocks;
    len -= blocks;
  }
#endif
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
