#include "tap_offload.h"

#include <algorithm>
#include <cstring>

namespace usbeth::sim {
namespace {

constexpr size_t kEthernetHeader = 14;
constexpr uint16_t kTypeIpv4 = 0x0800;
constexpr uint16_t kTypeIpv6 = 0x86DD;
constexpr uint8_t kProtocolTcp = 6;
constexpr size_t kIpv6Header = 40;
constexpr size_t kMaxIpLength = 65535;  // what the length fields can say

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;
constexpr uint8_t kCwr = 0x80;

uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}

// Where the parts of a TCP segment over IPv4 or IPv6 lie in its frame.
struct TcpFrame {
  bool v6 = false;
  size_t tcp = 0;      // offset of the TCP header
  size_t payload = 0;  // offset of the data
  size_t end = 0;      // end of the IP packet (Ethernet padding follows)
  size_t data_length() const { return end - payload; }
};

bool parse_tcp(const uint8_t* f, size_t n, TcpFrame& v) {
  if (n < kEthernetHeader) return false;
  const uint8_t* ip = f + kEthernetHeader;
  const uint16_t type = get16(f + 12);
  if (type == kTypeIpv4) {
    if (n < kEthernetHeader + 20 || (ip[0] >> 4) != 4 || ip[9] != kProtocolTcp) return false;
    const size_t ihl = size_t(ip[0] & 0x0F) * 4;
    const size_t total = get16(ip + 2);
    if (ihl < 20 || total < ihl || kEthernetHeader + total > n) return false;
    if ((get16(ip + 6) & 0x3FFF) != 0) return false;  // a fragment
    v.v6 = false;
    v.tcp = kEthernetHeader + ihl;
    v.end = kEthernetHeader + total;
  } else if (type == kTypeIpv6) {
    // Extension headers are not followed: such packets pass as they are.
    if (n < kEthernetHeader + kIpv6Header || (ip[0] >> 4) != 6 || ip[6] != kProtocolTcp) {
      return false;
    }
    const size_t length = get16(ip + 4);
    if (kEthernetHeader + kIpv6Header + length > n) return false;
    v.v6 = true;
    v.tcp = kEthernetHeader + kIpv6Header;
    v.end = v.tcp + length;
  } else {
    return false;
  }
  if (v.end < v.tcp + 20) return false;
  const size_t thl = size_t(f[v.tcp + 12] >> 4) * 4;
  if (thl < 20 || v.tcp + thl > v.end) return false;
  v.payload = v.tcp + thl;
  return true;
}

// The TCP pseudo-header's sum for a segment of `tcp_length` bytes.
uint32_t pseudo_header_sum(const uint8_t* f, const TcpFrame& v, size_t tcp_length) {
  const uint8_t* ip = f + kEthernetHeader;
  uint32_t sum = v.v6 ? checksum_add(0, ip + 8, 32) : checksum_add(0, ip + 12, 8);
  sum += kProtocolTcp + static_cast<uint32_t>(tcp_length >> 16) +
         static_cast<uint32_t>(tcp_length & 0xFFFF);
  return checksum_add(sum, nullptr, 0);
}

void fill_ipv4_checksum(uint8_t* f, const TcpFrame& v) {
  uint8_t* ip = f + kEthernetHeader;
  put16(ip + 10, 0);
  put16(ip + 10, checksum_fold(checksum_add(0, ip, v.tcp - kEthernetHeader)));
}

void fill_tcp_checksum(uint8_t* f, const TcpFrame& v) {
  put16(f + v.tcp + 16, 0);
  const uint32_t sum = pseudo_header_sum(f, v, v.end - v.tcp);
  put16(f + v.tcp + 16, checksum_fold(checksum_add(sum, f + v.tcp, v.end - v.tcp)));
}

bool checksums_right(const uint8_t* f, const TcpFrame& v) {
  if (!v.v6 && checksum_fold(checksum_add(0, f + kEthernetHeader, v.tcp - kEthernetHeader)) != 0) {
    return false;
  }
  const uint32_t sum = pseudo_header_sum(f, v, v.end - v.tcp);
  return checksum_fold(checksum_add(sum, f + v.tcp, v.end - v.tcp)) == 0;
}

// A segment that may be joined to others: TCP data with no flag but ACK and
// PSH, IPv4 without options, both checksums right.
struct Segment {
  TcpFrame v;
  const uint8_t* f = nullptr;
  size_t size = 0;  // of the whole frame
  uint32_t seq = 0;
  uint8_t flags = 0;
};

bool joinable(const std::vector<uint8_t>& frame, Segment& s) {
  s.f = frame.data();
  s.size = frame.size();
  if (!parse_tcp(s.f, frame.size(), s.v)) return false;
  if (!s.v.v6 && s.v.tcp != kEthernetHeader + 20) return false;
  s.flags = s.f[s.v.tcp + 13];
  if ((s.flags & ~(kAck | kPsh)) != 0 || !(s.flags & kAck)) return false;
  if (s.v.data_length() == 0) return false;
  s.seq = get32(s.f + s.v.tcp + 4);
  return checksums_right(s.f, s.v);
}

// Whether `next` continues the stream of `first` ... `last` (`data` bytes
// so far) so that all of them make one packet.
bool continues(const Segment& first, const Segment& last, size_t data, const Segment& next) {
  const TcpFrame& a = first.v;
  const TcpFrame& b = next.v;
  if (a.v6 != b.v6 || a.payload != b.payload) return false;
  if (last.flags & kPsh) return false;  // the sender asked for delivery there
  if (last.v.data_length() != a.data_length() || b.data_length() > a.data_length()) return false;
  if (next.seq != last.seq + static_cast<uint32_t>(last.v.data_length())) return false;
  if (a.payload - kEthernetHeader + data + b.data_length() > kMaxIpLength) return false;
  const uint8_t* p = first.f;
  const uint8_t* q = next.f;
  if (std::memcmp(p, q, kEthernetHeader) != 0) return false;
  const uint8_t* ip = p + kEthernetHeader;
  const uint8_t* iq = q + kEthernetHeader;
  if (a.v6) {
    // Version, traffic class and flow label; hop limit; addresses.
    if (std::memcmp(ip, iq, 4) != 0 || ip[7] != iq[7] || std::memcmp(ip + 8, iq + 8, 32) != 0) {
      return false;
    }
  } else {
    // Type of service; flags and fragment offset; time to live, protocol;
    // addresses.
    if (ip[1] != iq[1] || std::memcmp(ip + 6, iq + 6, 4) != 0 ||
        std::memcmp(ip + 12, iq + 12, 8) != 0) {
      return false;
    }
  }
  const uint8_t* tp = p + a.tcp;
  const uint8_t* tq = q + b.tcp;
  // Ports; acknowledgement, header length; window; urgent pointer; options.
  return std::memcmp(tp, tq, 4) == 0 && std::memcmp(tp + 8, tq + 8, 5) == 0 &&
         std::memcmp(tp + 14, tq + 14, 2) == 0 && std::memcmp(tp + 18, tq + 18, 2) == 0 &&
         std::memcmp(tp + 20, tq + 20, a.payload - a.tcp - 20) == 0;
}

void emit_alone(const std::vector<uint8_t>& frame, CoalescedPacket& out) {
  out.header = OffloadHeader{};
  out.bytes.assign(frame.begin(), frame.end());
  out.frames = 1;
  out.frame_bytes = frame.size();
}

// Writes segments[0..n) as one packet whose checksum the stack takes as
// right (each segment's was checked) and which it may cut up again.
void emit_joined(const Segment* segments, size_t n, size_t data, CoalescedPacket& out) {
  const Segment& first = segments[0];
  const size_t headers = first.v.payload;
  out.bytes.resize(headers + data);
  uint8_t* f = out.bytes.data();
  std::memcpy(f, first.f, headers);
  size_t at = headers;
  out.frames = n;
  out.frame_bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    out.frame_bytes += segments[i].size;
    const size_t length = segments[i].v.data_length();
    std::memcpy(f + at, segments[i].f + segments[i].v.payload, length);
    at += length;
  }
  TcpFrame v = first.v;
  v.end = headers + data;
  if (v.v6) {
    put16(f + kEthernetHeader + 4, static_cast<uint32_t>(v.end - v.tcp));
  } else {
    put16(f + kEthernetHeader + 2, static_cast<uint32_t>(v.end - kEthernetHeader));
    fill_ipv4_checksum(f, v);
  }
  f[v.tcp + 13] = static_cast<uint8_t>(kAck | (segments[n - 1].flags & kPsh));
  // The checksum left to the stack: the pseudo-header's sum, not complemented.
  put16(f + v.tcp + 16, pseudo_header_sum(f, v, v.end - v.tcp));
  out.header.flags = OffloadHeader::kNeedsChecksum;
  out.header.gso_type = v.v6 ? OffloadHeader::kGsoTcpV6 : OffloadHeader::kGsoTcpV4;
  out.header.hdr_len = static_cast<uint16_t>(headers);
  out.header.gso_size = static_cast<uint16_t>(first.v.data_length());
  out.header.csum_start = static_cast<uint16_t>(v.tcp);
  out.header.csum_offset = 16;
}

}  // namespace

uint32_t checksum_add(uint32_t sum, const uint8_t* data, size_t size) {
  // The ones-complement sum does not depend on the order of the bytes in a
  // word but for one swap at the end (RFC 1071), so the data is summed as
  // native 32-bit words, eight bytes a step, in 64 bits.
  uint64_t s = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint32_t w[2];
    std::memcpy(w, data + i, 8);
    s += w[0];
    s += w[1];
  }
  for (; i + 2 <= size; i += 2) {
    uint16_t w;
    std::memcpy(&w, data + i, 2);
    s += w;
  }
  if (i < size) {
    uint16_t w = 0;
    std::memcpy(&w, data + i, 1);  // the last byte, padded with a zero after it
    s += w;
  }
  while (s >> 16)
    s = (s & 0xFFFF) + (s >> 16);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  s = ((s & 0xFF) << 8) | (s >> 8);
#endif
  s += sum;
  while (s >> 16)
    s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint32_t>(s);
}

uint16_t checksum_fold(uint32_t sum) {
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

bool carries_tcp_data(const uint8_t* frame, size_t size) {
  TcpFrame v;
  return parse_tcp(frame, size, v) && v.data_length() != 0;
}

bool split_offloaded(const OffloadHeader& h, const uint8_t* data, size_t size,
                     std::vector<std::vector<uint8_t>>& out) {
  if (h.gso_type == OffloadHeader::kGsoNone) {
    std::vector<uint8_t> frame(data, data + size);
    if (h.flags & OffloadHeader::kNeedsChecksum) {
      // The field holds the pseudo-header's sum; the rest is summed here.
      const size_t start = h.csum_start;
      const size_t field = start + h.csum_offset;
      if (start > size || field + 2 > size) return false;
      uint16_t sum = checksum_fold(checksum_add(0, frame.data() + start, size - start));
      put16(frame.data() + field, sum != 0 ? sum : 0xFFFF);
    }
    out.push_back(std::move(frame));
    return true;
  }
  if (h.gso_type != OffloadHeader::kGsoTcpV4 && h.gso_type != OffloadHeader::kGsoTcpV6) {
    return false;
  }
  TcpFrame v;
  if (!parse_tcp(data, size, v) || v.v6 != (h.gso_type == OffloadHeader::kGsoTcpV6)) return false;
  const size_t mss = h.gso_size;
  if (mss == 0) return false;
  const size_t headers = v.payload;
  const size_t total = v.data_length();
  const uint32_t seq = get32(data + v.tcp + 4);
  const uint8_t flags = data[v.tcp + 13];
  const uint16_t id = v.v6 ? 0 : get16(data + kEthernetHeader + 4);
  size_t i = 0;
  size_t offset = 0;
  do {
    const size_t length = std::min(mss, total - offset);
    const bool last = offset + length >= total;
    std::vector<uint8_t> frame(headers + length);
    uint8_t* f = frame.data();
    std::memcpy(f, data, headers);
    std::memcpy(f + headers, data + headers + offset, length);
    TcpFrame s = v;
    s.end = frame.size();
    if (v.v6) {
      put16(f + kEthernetHeader + 4, static_cast<uint32_t>(s.end - s.tcp));
    } else {
      put16(f + kEthernetHeader + 2, static_cast<uint32_t>(s.end - kEthernetHeader));
      put16(f + kEthernetHeader + 4, static_cast<uint32_t>(id + i));
      fill_ipv4_checksum(f, s);
    }
    put32(f + s.tcp + 4, seq + static_cast<uint32_t>(offset));
    // FIN and PSH belong to the last segment, CWR to the first.
    uint8_t segment_flags = flags;
    if (!last) segment_flags &= static_cast<uint8_t>(~(kFin | kPsh));
    if (i != 0) segment_flags &= static_cast<uint8_t>(~kCwr);
    f[s.tcp + 13] = segment_flags;
    fill_tcp_checksum(f, s);
    out.push_back(std::move(frame));
    offset += length;
    ++i;
  } while (offset < total);
  return true;
}

size_t coalesce(const std::vector<std::vector<uint8_t>>& frames, size_t count,
                std::vector<CoalescedPacket>& out) {
  size_t packets = 0;
  auto next_packet = [&]() -> CoalescedPacket& {
    if (packets == out.size()) out.emplace_back();
    return out[packets++];
  };
  std::vector<Segment> run;
  size_t data = 0;
  size_t run_start = 0;
  for (size_t i = 0; i <= count; ++i) {
    Segment s;
    const bool segment = i < count && joinable(frames[i], s);
    if (segment && !run.empty() && continues(run.front(), run.back(), data, s)) {
      run.push_back(s);
      data += s.v.data_length();
      continue;
    }
    // The run so far ends here.
    if (run.size() == 1) {
      emit_alone(frames[run_start], next_packet());
    } else if (run.size() > 1) {
      emit_joined(run.data(), run.size(), data, next_packet());
    }
    run.clear();
    data = 0;
    if (i == count) break;
    if (segment) {
      run.push_back(s);
      data = s.v.data_length();
      run_start = i;
    } else {
      emit_alone(frames[i], next_packet());
    }
  }
  return packets;
}

}  // namespace usbeth::sim
