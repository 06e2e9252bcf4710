// Segmentation and coalescing of TCP frames at a TAP interface that carries
// the virtio-net header (IFF_VNET_HDR), so that the host's network stack can
// hand over and take up to 64 KiB of a TCP stream at a time while everything
// between the two TAPs still sees Ethernet frames of at most one MTU.
//
// Reading: the stack may hand over a packet whose checksum is left to the
// device (NEEDS_CSUM) or a large TCP packet to be cut into segments of
// gso_size bytes (TCPV4, TCPV6). split_offloaded() turns either into
// ordinary frames with every checksum filled in, as the stack itself would
// have sent them without the offloads.
//
// Writing: coalesce() joins back-to-back segments of one TCP stream into one
// large packet for the stack to take up at once, as a network card's receive
// coalescing does. A segment joins only when its IP and TCP checksums are
// right, so a frame damaged on its way still reaches the stack alone and is
// dropped there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace usbeth::sim {

// The virtio-net header's fields, in host byte order.
struct OffloadHeader {
  static constexpr uint8_t kNeedsChecksum = 1;  // VIRTIO_NET_HDR_F_NEEDS_CSUM
  static constexpr uint8_t kGsoNone = 0;
  static constexpr uint8_t kGsoTcpV4 = 1;
  static constexpr uint8_t kGsoTcpV6 = 4;
  uint8_t flags = 0;
  uint8_t gso_type = kGsoNone;
  uint16_t hdr_len = 0;
  uint16_t gso_size = 0;
  uint16_t csum_start = 0;
  uint16_t csum_offset = 0;
};

// Appends to `out` the frames that packet `data` (`size` bytes after its
// header `h`) stands for. False, with nothing appended, when the packet is
// malformed or asks for an offload other than TCP segmentation.
bool split_offloaded(const OffloadHeader& h, const uint8_t* data, size_t size,
                     std::vector<std::vector<uint8_t>>& out);

// One packet for the stack: a frame as it came (header all zero) or
// several segments of one TCP stream joined.
struct CoalescedPacket {
  OffloadHeader header;
  std::vector<uint8_t> bytes;
  size_t frames = 0;       // how many frames it carries
  size_t frame_bytes = 0;  // and their sizes added up
};

// Joins runs of consecutive segments among `frames[0..count)`, in order,
// into the packets written to `out` (whose vectors are reused; the number
// of packets is returned).
size_t coalesce(const std::vector<std::vector<uint8_t>>& frames, size_t count,
                std::vector<CoalescedPacket>& out);

// Whether the frame is a TCP segment that carries data (what coalesce()
// may join to others).
bool carries_tcp_data(const uint8_t* frame, size_t size);

// The ones-complement sum of `size` bytes (16-bit words, big-endian) added
// to `sum`, folded to 16 bits but not complemented.
uint32_t checksum_add(uint32_t sum, const uint8_t* data, size_t size);
// Folds a sum to 16 bits and complements it.
uint16_t checksum_fold(uint32_t sum);

}  // namespace usbeth::sim
