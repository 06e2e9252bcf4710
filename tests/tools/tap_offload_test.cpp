// Cutting up the TCP bursts a TAP hands over and joining segments on the way
// back: the frames must be exactly what the stack would have sent without
// offloads, and a joined packet must stand for exactly its segments.
#include "tap_offload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace usbeth::sim {
namespace {

using Frame = std::vector<uint8_t>;

void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}
uint16_t get16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(get16(p)) << 16 | get16(p + 2);
}

// An RFC 1071 checksum, written out here apart from the code under test.
uint16_t internet_checksum(const std::vector<uint8_t>& bytes) {
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2)
    sum += uint32_t(bytes[i]) << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum);
}

constexpr size_t kTcp4 = 14 + 20;  // offset of the TCP header over IPv4
constexpr size_t kTcp6 = 14 + 40;

// Whether the frame's IPv4 header and TCP checksums hold.
bool checksums_hold(const Frame& f, bool v6 = false) {
  const size_t tcp = v6 ? kTcp6 : kTcp4;
  const size_t tcp_length = v6 ? get16(&f[18]) : get16(&f[16]) - 20u;
  std::vector<uint8_t> pseudo;
  if (v6) {
    pseudo.assign(f.begin() + 22, f.begin() + 54);
    pseudo.insert(pseudo.end(), {0, 0, uint8_t(tcp_length >> 8), uint8_t(tcp_length), 0, 0, 0, 6});
  } else {
    if (internet_checksum(Frame(f.begin() + 14, f.begin() + kTcp4)) != 0) return false;
    pseudo.assign(f.begin() + 26, f.begin() + 34);
    pseudo.insert(pseudo.end(), {0, 6, uint8_t(tcp_length >> 8), uint8_t(tcp_length)});
  }
  pseudo.insert(pseudo.end(), f.begin() + long(tcp), f.begin() + long(tcp + tcp_length));
  return internet_checksum(pseudo) == 0;
}

// A TCP segment over IPv4 (or IPv6) with `data` bytes of payload whose
// checksums are right; the payload counts on from `seq`.
Frame segment(uint32_t seq, size_t data, uint8_t flags = 0x10, bool v6 = false, uint16_t id = 7) {
  const size_t tcp = v6 ? kTcp6 : kTcp4;
  Frame f(tcp + 32 + data);  // a 12-byte timestamp option, as Linux sends
  for (int i = 0; i < 6; ++i) {
    f[i] = uint8_t(0x02 + i);
    f[6 + i] = uint8_t(0x12 + i);
  }
  uint8_t* ip = &f[14];
  if (v6) {
    put16(&f[12], 0x86DD);
    ip[0] = 0x60;
    put16(ip + 4, uint32_t(32 + data));
    ip[6] = 6;
    ip[7] = 64;
    for (int i = 0; i < 16; ++i) {
      ip[8 + i] = uint8_t(0xFD + (i == 15));
      ip[24 + i] = uint8_t(0xFD + 2 * (i == 15));
    }
  } else {
    put16(&f[12], 0x0800);
    ip[0] = 0x45;
    put16(ip + 2, uint32_t(20 + 32 + data));
    put16(ip + 4, id);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    put32(ip + 12, 0x0AC70001);
    put32(ip + 16, 0x0AC70002);
  }
  uint8_t* t = &f[tcp];
  put16(t, 40000);
  put16(t + 2, 5201);
  put32(t + 4, seq);
  put32(t + 8, 0x11223344);
  t[12] = 8 << 4;
  t[13] = flags;
  put16(t + 14, 502);
  t[20] = 1;
  t[21] = 1;
  t[22] = 8;
  t[23] = 10;
  put32(t + 24, 0xAABBCCDD);
  put32(t + 28, 0x01020304);
  for (size_t i = 0; i < data; ++i)
    f[tcp + 32 + i] = uint8_t((seq + i) * 7 + 3);
  if (!v6) put16(ip + 10, internet_checksum(Frame(f.begin() + 14, f.begin() + kTcp4)));
  // The TCP checksum over the pseudo-header.
  put16(t + 16, 0);
  std::vector<uint8_t> pseudo;
  const size_t tcp_length = 32 + data;
  if (v6) {
    pseudo.assign(f.begin() + 22, f.begin() + 54);
    pseudo.insert(pseudo.end(), {0, 0, uint8_t(tcp_length >> 8), uint8_t(tcp_length), 0, 0, 0, 6});
  } else {
    pseudo.assign(f.begin() + 26, f.begin() + 34);
    pseudo.insert(pseudo.end(), {0, 6, uint8_t(tcp_length >> 8), uint8_t(tcp_length)});
  }
  pseudo.insert(pseudo.end(), f.begin() + long(tcp), f.end());
  put16(t + 16, internet_checksum(pseudo));
  return f;
}

OffloadHeader tso(bool v6, uint16_t mss) {
  OffloadHeader h;
  h.flags = OffloadHeader::kNeedsChecksum;
  h.gso_type = v6 ? OffloadHeader::kGsoTcpV6 : OffloadHeader::kGsoTcpV4;
  h.hdr_len = uint16_t((v6 ? kTcp6 : kTcp4) + 32);
  h.gso_size = mss;
  h.csum_start = uint16_t(v6 ? kTcp6 : kTcp4);
  h.csum_offset = 16;
  return h;
}

TEST(TapOffload, TheChecksumIsTheInternetChecksumAtEveryLength) {
  Frame bytes(80);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = uint8_t(i * 37 + 11 + (i >> 3));
  for (size_t n = 0; n <= bytes.size(); ++n) {
    SCOPED_TRACE(n);
    const Frame part(bytes.begin(), bytes.begin() + long(n));
    EXPECT_EQ(internet_checksum(part), checksum_fold(checksum_add(0, part.data(), n)));
    // Summed on from a sum of the bytes before (an even number of them).
    const Frame whole = [&] {
      Frame w = {0xFF, 0xFF, 0x12, 0x34};
      w.insert(w.end(), part.begin(), part.end());
      return w;
    }();
    const uint32_t head = checksum_add(0, whole.data(), 4);
    EXPECT_EQ(internet_checksum(whole), checksum_fold(checksum_add(head, part.data(), n)));
  }
}

TEST(TapOffload, ABurstIsCutIntoTheSegmentsTheStackWouldHaveSent) {
  for (bool v6 : {false, true}) {
    SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
    // FIN, PSH and CWR set on the burst: FIN and PSH go with the last
    // segment, CWR with the first.
    const uint8_t flags = 0x10 | 0x08 | 0x01 | 0x80;
    const Frame big = segment(1000, 3000, flags, v6);
    std::vector<Frame> out;
    ASSERT_TRUE(split_offloaded(tso(v6, 1448), big.data(), big.size(), out));
    ASSERT_EQ(3u, out.size());
    const size_t sizes[] = {1448, 1448, 104};
    for (size_t i = 0; i < out.size(); ++i) {
      SCOPED_TRACE(i);
      const Frame want =
          segment(uint32_t(1000 + 1448 * i), sizes[i],
                  uint8_t(0x10 | (i == 0 ? 0x80 : 0) | (i == 2 ? 0x09 : 0)), v6, uint16_t(7 + i));
      EXPECT_TRUE(checksums_hold(out[i], v6));
      EXPECT_EQ(want, out[i]);
    }
  }
}

TEST(TapOffload, AChecksumLeftToTheDeviceIsFilledIn) {
  // A UDP datagram over IPv4 whose checksum field holds the pseudo-header's
  // sum, as the stack hands it over with NEEDS_CSUM.
  Frame f(14 + 20 + 8 + 5);
  put16(&f[12], 0x0800);
  f[14] = 0x45;
  f[23] = 17;
  put32(&f[26], 0x0AC70001);
  put32(&f[30], 0x0AC70002);
  put16(&f[34], 53);
  put16(&f[36], 9999);
  put16(&f[38], 13);
  std::memcpy(&f[42], "hello", 5);
  Frame pseudo = {0x0A, 0xC7, 0, 1, 0x0A, 0xC7, 0, 2, 0, 17, 0, 13};
  put16(&f[40], uint16_t(~internet_checksum(pseudo)));
  OffloadHeader h;
  h.flags = OffloadHeader::kNeedsChecksum;
  h.csum_start = 34;
  h.csum_offset = 6;
  std::vector<Frame> out;
  ASSERT_TRUE(split_offloaded(h, f.data(), f.size(), out));
  ASSERT_EQ(1u, out.size());
  pseudo.insert(pseudo.end(), out[0].begin() + 34, out[0].end());
  EXPECT_EQ(0, internet_checksum(pseudo));
  EXPECT_NE(0, get16(&out[0][40]));
  // Without the flag the frame is taken as it is.
  out.clear();
  ASSERT_TRUE(split_offloaded(OffloadHeader{}, f.data(), f.size(), out));
  EXPECT_EQ(f, out[0]);
}

TEST(TapOffload, PacketsThatCannotBeMadeIntoFramesAreRefused) {
  const Frame big = segment(1, 3000);
  std::vector<Frame> out;
  OffloadHeader udp = tso(false, 1448);
  udp.gso_type = 3;  // UDP fragmentation, never offered
  EXPECT_FALSE(split_offloaded(udp, big.data(), big.size(), out));
  EXPECT_FALSE(split_offloaded(tso(false, 0), big.data(), big.size(), out));
  EXPECT_FALSE(split_offloaded(tso(true, 1448), big.data(), big.size(), out));  // not IPv6
  EXPECT_FALSE(split_offloaded(tso(false, 1448), big.data(), 40, out));         // cut short
  OffloadHeader beyond;
  beyond.flags = OffloadHeader::kNeedsChecksum;
  beyond.csum_start = uint16_t(big.size() - 1);
  beyond.csum_offset = 16;
  EXPECT_FALSE(split_offloaded(beyond, big.data(), big.size(), out));
  EXPECT_TRUE(out.empty());
}

TEST(TapOffload, ConsecutiveSegmentsAreJoinedAndCutBackIntoTheSame) {
  for (bool v6 : {false, true}) {
    SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
    std::vector<Frame> frames;
    for (uint32_t i = 0; i < 4; ++i)
      frames.push_back(
          segment(500 + 1448 * i, i == 3 ? 600 : 1448, i == 3 ? 0x18 : 0x10, v6, uint16_t(7 + i)));
    std::vector<CoalescedPacket> out;
    ASSERT_EQ(1u, coalesce(frames, frames.size(), out));
    const CoalescedPacket& p = out[0];
    EXPECT_EQ(4u, p.frames);
    EXPECT_EQ(3 * frames[0].size() + frames[3].size(), p.frame_bytes);
    EXPECT_EQ(OffloadHeader::kNeedsChecksum, p.header.flags);
    EXPECT_EQ(v6 ? OffloadHeader::kGsoTcpV6 : OffloadHeader::kGsoTcpV4, p.header.gso_type);
    EXPECT_EQ(1448, p.header.gso_size);
    EXPECT_EQ((v6 ? kTcp6 : kTcp4) + 32, p.header.hdr_len);
    EXPECT_EQ(v6 ? kTcp6 : kTcp4, p.header.csum_start);
    EXPECT_EQ(16, p.header.csum_offset);
    // What the stack does with it: the same segments, byte for byte.
    std::vector<Frame> again;
    ASSERT_TRUE(split_offloaded(p.header, p.bytes.data(), p.bytes.size(), again));
    EXPECT_EQ(frames, again);
  }
}

TEST(TapOffload, OnlySegmentsThatContinueTheStreamAreJoined) {
  auto packets = [](const std::vector<Frame>& frames) {
    std::vector<CoalescedPacket> out;
    std::vector<size_t> counts;
    size_t n = coalesce(frames, frames.size(), out);
    size_t frames_seen = 0;
    for (size_t i = 0; i < n; ++i) {
      counts.push_back(out[i].frames);
      frames_seen += out[i].frames;
    }
    EXPECT_EQ(frames.size(), frames_seen);
    return counts;
  };
  const Frame a = segment(0, 1448), b = segment(1448, 1448), c = segment(2896, 1448);
  using Counts = std::vector<size_t>;
  EXPECT_EQ(Counts({3}), packets({a, b, c}));
  // A gap, a segment out of order, one shorter than the first in the
  // middle, a PSH before the end: each ends the packet there.
  EXPECT_EQ(Counts({2, 1}), packets({a, b, segment(4000, 1448)}));
  EXPECT_EQ(Counts({1, 1, 1}), packets({b, a, c}));
  EXPECT_EQ(Counts({2, 1}), packets({a, segment(1448, 1000), segment(2448, 1448)}));
  EXPECT_EQ(Counts({2, 1}), packets({a, segment(1448, 1448, 0x18), c}));
  // A damaged segment goes alone, exactly as it came, so that the stack
  // drops it.
  Frame damaged = b;
  damaged[200] ^= 0x40;
  std::vector<CoalescedPacket> out;
  ASSERT_EQ(3u, coalesce({a, damaged, c}, 3, out));
  EXPECT_EQ(damaged, out[1].bytes);
  EXPECT_EQ(OffloadHeader::kGsoNone, out[1].header.gso_type);
  // Another stream, a pure acknowledgement, another window, SYN or FIN:
  // not joined.
  Frame other_port = b;
  put16(&other_port[kTcp4 + 2], 5202);
  Frame other_window = b;
  put16(&other_window[kTcp4 + 14], 999);
  for (const Frame& f : {other_port, other_window}) {
    EXPECT_EQ(Counts({1, 1}), packets({a, f}));
  }
  EXPECT_EQ(Counts({1, 1}), packets({a, segment(1448, 0)}));
  EXPECT_EQ(Counts({1, 1}), packets({a, segment(1448, 1448, 0x11)}));
  EXPECT_EQ(Counts({1, 1}), packets({segment(0, 1448, 0x12), b}));
  // A frame that is not TCP passes alone between two runs.
  Frame arp(60, 0);
  put16(&arp[12], 0x0806);
  EXPECT_TRUE(carries_tcp_data(a.data(), a.size()));
  EXPECT_FALSE(carries_tcp_data(arp.data(), arp.size()));
  const Frame ack = segment(1448, 0);
  EXPECT_FALSE(carries_tcp_data(ack.data(), ack.size()));
  EXPECT_FALSE(carries_tcp_data(a.data(), 40));
  EXPECT_EQ(Counts({2, 1, 1}), packets({a, b, arp, c}));
  // No packet grows beyond what the IP length field can say.
  std::vector<Frame> many;
  for (uint32_t i = 0; i < 60; ++i)
    many.push_back(segment(1448 * i, 1448));
  Counts sizes = packets(many);
  ASSERT_EQ(2u, sizes.size());
  EXPECT_EQ(45u, sizes[0]);  // 45 * 1448 + 52 <= 65535 < 46 * 1448 + 52
  // The stream's checksums over a joined IPv4 packet's header hold.
  std::vector<CoalescedPacket> joined;
  ASSERT_EQ(1u, coalesce({a, b}, 2, joined));
  EXPECT_EQ(0, internet_checksum(
                   Frame(joined[0].bytes.begin() + 14, joined[0].bytes.begin() + long(kTcp4))));
  EXPECT_EQ(20 + 32 + 2 * 1448, get16(&joined[0].bytes[16]));
  EXPECT_EQ(0u, get32(&joined[0].bytes[kTcp4 + 4]));
}

TEST(TapOffload, DamagedAndCutShortPacketsAreHandledWithinTheirBytes) {
  // Whatever a TAP or the wire hands over: every length, damaged header
  // fields. Nothing may be read beyond the bytes given (the sanitizer build
  // checks); a packet refused gives no frame, one taken as it is keeps its
  // length, and every frame goes out in some packet.
  std::mt19937 rng(12345);
  const Frame good4 = segment(77, 2000, 0x18);
  const Frame good6 = segment(77, 2000, 0x18, true);
  for (int round = 0; round < 3000; ++round) {
    const bool v6 = round % 2;
    Frame f = v6 ? good6 : good4;
    const int damage = int(rng() % 4);
    for (int k = 0; k < damage; ++k)
      f[rng() % (v6 ? kTcp6 + 32 : kTcp4 + 32)] = uint8_t(rng());
    const size_t cut = round % 3 == 0 ? rng() % f.size() : f.size();
    const Frame bytes(f.begin(), f.begin() + long(cut));
    OffloadHeader h = tso(v6, uint16_t(1 + rng() % 1500));
    if (round % 5 == 0) h.gso_type = OffloadHeader::kGsoNone;
    h.csum_start = uint16_t(rng() % (bytes.size() + 8));
    h.csum_offset = uint16_t(rng() % 24);
    std::vector<Frame> out;
    if (split_offloaded(h, bytes.data(), bytes.size(), out)) {
      ASSERT_FALSE(out.empty());
      size_t data = 0;
      for (const Frame& piece : out) {
        ASSERT_GE(piece.size(), h.gso_type == OffloadHeader::kGsoNone ? 0u : kTcp4 + 20);
        data += piece.size();
      }
      if (h.gso_type == OffloadHeader::kGsoNone) {
        EXPECT_EQ(bytes.size(), data);
      }
    } else {
      EXPECT_TRUE(out.empty());
    }
    // The same bytes among good segments on the way out.
    std::vector<CoalescedPacket> packets;
    const std::vector<Frame> frames = {good4, bytes, segment(2077, 1000), bytes};
    const size_t n = coalesce(frames, frames.size(), packets);
    size_t carried = 0;
    for (size_t i = 0; i < n; ++i)
      carried += packets[i].frames;
    EXPECT_EQ(frames.size(), carried);
  }
}

}  // namespace
}  // namespace usbeth::sim
