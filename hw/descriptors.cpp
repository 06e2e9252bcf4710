#include "hw/descriptors.h"

#include <algorithm>

namespace hw {
namespace {

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// Filler descriptors of at most 255 bytes each, totalling exactly `bytes`
// (a descriptor needs at least its two header bytes, so 1 byte becomes 2).
std::vector<std::vector<uint8_t>> Filler(size_t bytes) {
  std::vector<std::vector<uint8_t>> out;
  while (bytes > 0) {
    size_t len = std::min<size_t>(bytes, 255);
    if (bytes - len == 1) len -= 1;  // leave room for a last two-byte descriptor
    len = std::max<size_t>(len, 2);
    std::vector<uint8_t> d(len, 0xA5);
    d[0] = static_cast<uint8_t>(len);
    d[1] = kDescriptorVendorFiller;
    out.push_back(std::move(d));
    bytes -= std::min(bytes, len);
  }
  return out;
}

}  // namespace

uint16_t EndpointMaxPacket(const EndpointConfig& ep, BusSpeed speed) {
  if (ep.max_packet != 0) return ep.max_packet;
  if (ep.kind == EndpointKind::Interrupt) return 8;
  return speed == BusSpeed::High ? 512 : 64;
}

std::vector<uint8_t> BuildDeviceDescriptor(const DescriptorConfig& layout, BusSpeed speed) {
  std::vector<uint8_t> d = {18, kDescriptorDevice};
  PutLe16(d, speed == BusSpeed::High ? 0x0200 : 0x0110);
  d.push_back(0x00);  // class: per interface
  d.push_back(0x00);
  d.push_back(0x00);
  d.push_back(64);  // endpoint 0 max packet
  PutLe16(d, layout.vendor_id);
  PutLe16(d, layout.product_id);
  PutLe16(d, layout.bcd_device);
  d.push_back(0);  // no strings
  d.push_back(0);
  d.push_back(0);
  d.push_back(1);  // one configuration
  return d;
}

std::vector<uint8_t> BuildQualifierDescriptor() {
  return {10, kDescriptorQualifier, 0x00, 0x02, 0x00, 0x00, 0x00, 64, 1, 0};
}

std::vector<uint8_t> BuildConfigurationDescriptor(const DescriptorConfig& layout, BusSpeed speed) {
  std::vector<std::vector<uint8_t>> parts;
  std::vector<uint8_t> config = {
      9, kDescriptorConfiguration,
      0, 0,
      1, layout.configuration_value,
      0, static_cast<uint8_t>(layout.remote_wakeup_capable ? 0xA0 : 0x80),
      50};
  parts.push_back(config);
  parts.push_back({9, kDescriptorInterface, 0, 0, static_cast<uint8_t>(layout.endpoints.size()),
                   0xFF, 0x00, 0x00, 0});
  if (layout.pad_before_endpoints) {
    for (auto& f : Filler(layout.pad_bytes))
      parts.push_back(std::move(f));
  }
  for (size_t i = 0; i < layout.endpoints.size(); ++i) {
    const EndpointConfig& ep = layout.endpoints[i];
    std::vector<uint8_t> d = {7, kDescriptorEndpoint, ep.address, static_cast<uint8_t>(ep.kind)};
    const bool zero = layout.zero_max_packet_endpoint == static_cast<int>(i);
    PutLe16(d, zero ? 0 : EndpointMaxPacket(ep, speed));
    d.push_back(ep.interval);
    parts.push_back(std::move(d));
  }
  if (!layout.pad_before_endpoints) {
    for (auto& f : Filler(layout.pad_bytes))
      parts.push_back(std::move(f));
  }

  if (layout.zero_length_descriptor >= 0 &&
      static_cast<size_t>(layout.zero_length_descriptor) < parts.size()) {
    parts[layout.zero_length_descriptor][0] = 0;
  }
  if (layout.last_runs_past_end) {
    auto& last = parts.back();
    last[0] = static_cast<uint8_t>(std::min<size_t>(last.size() + 16, 255));
  }

  std::vector<uint8_t> blob;
  for (const auto& p : parts)
    blob.insert(blob.end(), p.begin(), p.end());
  uint16_t total = layout.total_length ? *layout.total_length : static_cast<uint16_t>(blob.size());
  blob[2] = static_cast<uint8_t>(total);
  blob[3] = static_cast<uint8_t>(total >> 8);
  return blob;
}

}  // namespace hw
