// The adapter as the USB bus sees it: descriptors, standard requests and the
// vendor register requests.
#include <gtest/gtest.h>

#include "hw/descriptors.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

std::vector<uint8_t> GetDescriptor(Rig& rig, uint8_t type, uint16_t length,
                                   Handshake* handshake = nullptr) {
  std::vector<uint8_t> buf(length);
  ControlResult r = rig.Control(0x80, 6, static_cast<uint16_t>(type << 8), 0, length, buf.data());
  if (handshake) *handshake = r.handshake;
  buf.resize(r.actual);
  return buf;
}

// Offsets of the descriptors of a given type, walking bLength as a parser
// would, stopping at a zero length or the end of the bytes.
std::vector<size_t> Find(const std::vector<uint8_t>& blob, uint8_t type) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 2 <= blob.size() && blob[i] != 0; i += blob[i]) {
    if (blob[i + 1] == type) at.push_back(i);
  }
  return at;
}

TEST(Descriptors, DeviceDescriptorHonoursRequestedLength) {
  Rig rig(boards::SingleEthernet());
  std::vector<uint8_t> head = GetDescriptor(rig, kDescriptorDevice, 8);
  ASSERT_EQ(head.size(), 8u);
  std::vector<uint8_t> full = GetDescriptor(rig, kDescriptorDevice, 255);
  ASSERT_EQ(full.size(), 18u);
  EXPECT_EQ(full[0], 18);
  EXPECT_EQ(full[1], kDescriptorDevice);
  EXPECT_EQ(full[7], 64);  // endpoint 0 max packet
  EXPECT_EQ(full[17], 1);  // one configuration
  EXPECT_TRUE(std::equal(head.begin(), head.end(), full.begin()));
}

TEST(Descriptors, DefaultConfigurationListsBulkInBulkOutInterrupt) {
  for (BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
    BoardConfig config = boards::SingleEthernet();
    config.speed = speed;
    Rig rig(config);
    std::vector<uint8_t> head = GetDescriptor(rig, kDescriptorConfiguration, 9);
    ASSERT_EQ(head.size(), 9u);
    const uint16_t total = static_cast<uint16_t>(head[2] | head[3] << 8);
    EXPECT_EQ(total, 9 + 9 + 3 * 7);
    std::vector<uint8_t> blob = GetDescriptor(rig, kDescriptorConfiguration, 255);
    ASSERT_EQ(blob.size(), total);
    EXPECT_EQ(blob[5], 1);            // bConfigurationValue
    EXPECT_EQ(blob[7] & 0x20, 0x20);  // remote wakeup
    auto eps = Find(blob, kDescriptorEndpoint);
    ASSERT_EQ(eps.size(), 3u);
    const uint16_t bulk = speed == BusSpeed::High ? 512 : 64;
    EXPECT_EQ(blob[eps[0] + 2], 0x81);
    EXPECT_EQ(blob[eps[0] + 3], 2);
    EXPECT_EQ(blob[eps[0] + 4] | blob[eps[0] + 5] << 8, bulk);
    EXPECT_EQ(blob[eps[1] + 2], 0x02);
    EXPECT_EQ(blob[eps[1] + 3], 2);
    EXPECT_EQ(blob[eps[2] + 2], 0x83);
    EXPECT_EQ(blob[eps[2] + 3], 3);
    EXPECT_EQ(rig.board.max_packet(0x02), bulk);
  }
}

TEST(Descriptors, EndpointOrderAndCountFollowTheConfiguration) {
  BoardConfig config = boards::SingleEthernet();
  config.descriptors.endpoints = {{0x02, EndpointKind::Bulk, 0, 0},
                                  {0x81, EndpointKind::Bulk, 0, 0}};
  Rig rig(config);
  std::vector<uint8_t> blob = GetDescriptor(rig, kDescriptorConfiguration, 255);
  EXPECT_EQ(blob[9 + 4], 2);  // bNumEndpoints
  auto eps = Find(blob, kDescriptorEndpoint);
  ASSERT_EQ(eps.size(), 2u);
  EXPECT_EQ(blob[eps[0] + 2], 0x02);
  EXPECT_EQ(blob[eps[1] + 2], 0x81);
  // The pipes still work by their addresses.
  EXPECT_EQ(rig.board.bulk_in_endpoint(), 0x81);
  EXPECT_EQ(rig.board.bulk_out_endpoint(), 0x02);
}

TEST(Descriptors, PaddingPastTwoHundredFiftyFiveBytes) {
  BoardConfig config = boards::SingleEthernet();
  config.descriptors.pad_bytes = 300;
  config.descriptors.pad_before_endpoints = true;
  Rig rig(config);
  std::vector<uint8_t> blob = GetDescriptor(rig, kDescriptorConfiguration, 1024);
  EXPECT_EQ(blob.size(), 339u);
  EXPECT_EQ(blob[2] | blob[3] << 8, 339);
  EXPECT_EQ(Find(blob, kDescriptorEndpoint).size(), 3u);
  // A 255-byte read, as the driver makes, ends before the endpoints.
  std::vector<uint8_t> cut = GetDescriptor(rig, kDescriptorConfiguration, 255);
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_TRUE(Find(cut, kDescriptorEndpoint).empty());
}

TEST(Descriptors, LyingDescriptors) {
  BoardConfig zero = boards::SingleEthernet();
  zero.descriptors.zero_length_descriptor = 2;  // first endpoint
  Rig a(zero);
  std::vector<uint8_t> blob = GetDescriptor(a, kDescriptorConfiguration, 255);
  EXPECT_EQ(blob[18], 0);
  EXPECT_TRUE(Find(blob, kDescriptorEndpoint).empty());

  BoardConfig overrun = boards::SingleEthernet();
  overrun.descriptors.last_runs_past_end = true;
  overrun.descriptors.total_length = 200;
  Rig b(overrun);
  blob = GetDescriptor(b, kDescriptorConfiguration, 255);
  EXPECT_EQ(blob.size(), 39u);  // what exists is all that is sent
  EXPECT_EQ(blob[2] | blob[3] << 8, 200);
  EXPECT_GT(32u + blob[32], blob.size());
}

TEST(StandardRequests, RemoteWakeupFeatureAndStatus) {
  Rig rig(boards::SingleEthernet());
  uint8_t status[2] = {0xAA, 0xAA};
  ASSERT_EQ(rig.Control(0x00, 3, 1, 0, 0, nullptr).handshake, Handshake::Ack);
  rig.Control(0x80, 0, 0, 0, 2, status);
  EXPECT_EQ(status[0], 0x02);
  EXPECT_TRUE(rig.board.remote_wakeup_enabled());
  ASSERT_EQ(rig.Control(0x00, 1, 1, 0, 0, nullptr).handshake, Handshake::Ack);
  rig.Control(0x80, 0, 0, 0, 2, status);
  EXPECT_EQ(status[0], 0x00);
  EXPECT_EQ(status[1], 0x00);

  BoardConfig incapable = boards::SingleEthernet();
  incapable.descriptors.remote_wakeup_capable = false;
  Rig other(incapable);
  EXPECT_EQ(other.Control(0x00, 3, 1, 0, 0, nullptr).handshake, Handshake::Stall);
}

TEST(StandardRequests, BulkEndpointsNeedConfigurationAndObeyHalt) {
  Rig rig(boards::SingleEthernet());
  uint8_t byte = 0;
  size_t len = 0;
  EXPECT_EQ(rig.board.bulk_in(0x81, &byte, 64, len), Handshake::Stall);
  EXPECT_EQ(rig.board.bulk_out(0x02, &byte, 1), Handshake::Stall);
  rig.Configure();
  EXPECT_EQ(rig.board.configuration(), 1);
  EXPECT_EQ(rig.board.bulk_in(0x81, &byte, 64, len), Handshake::Nak);

  // SET_FEATURE(ENDPOINT_HALT), GET_STATUS(endpoint), CLEAR_FEATURE.
  ASSERT_EQ(rig.Control(0x02, 3, 0, 0x81, 0, nullptr).handshake, Handshake::Ack);
  uint8_t status[2] = {};
  rig.Control(0x82, 0, 0, 0x81, 2, status);
  EXPECT_EQ(status[0], 1);
  EXPECT_EQ(rig.board.bulk_in(0x81, &byte, 64, len), Handshake::Stall);
  ASSERT_EQ(rig.Control(0x02, 1, 0, 0x81, 0, nullptr).handshake, Handshake::Ack);
  EXPECT_EQ(rig.board.bulk_in(0x81, &byte, 64, len), Handshake::Nak);
  EXPECT_EQ(rig.Control(0x02, 1, 0, 0x05, 0, nullptr).handshake, Handshake::Stall);

  // An oversized packet halts the bulk-out endpoint until it is reset.
  std::vector<uint8_t> big(65);
  EXPECT_EQ(rig.board.bulk_out(0x02, big.data(), big.size()), Handshake::Stall);
  EXPECT_TRUE(rig.board.endpoint_halted(0x02));
  rig.board.reset_endpoint(0x02);
  EXPECT_FALSE(rig.board.endpoint_halted(0x02));
}

TEST(StandardRequests, UnsupportedRequestsStall) {
  Rig rig(boards::SingleEthernet());
  Handshake h;
  GetDescriptor(rig, 3, 255, &h);  // no strings
  EXPECT_EQ(h, Handshake::Stall);
  GetDescriptor(rig, kDescriptorQualifier, 10, &h);  // full-speed only
  EXPECT_EQ(h, Handshake::Stall);
  EXPECT_EQ(rig.Control(0x00, 9, 2, 0, 0, nullptr).handshake, Handshake::Stall);
  EXPECT_EQ(rig.Control(0x20, 1, 0, 0, 0, nullptr).handshake, Handshake::Stall);  // class
  EXPECT_EQ(rig.board.counters().control_stalls, 4u);
}

TEST(VendorRequests, ReadAndWriteRegisterRanges) {
  Rig rig(boards::SingleEthernet());
  rig.now = 5000;
  rig.WriteRegs(0x08, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(rig.ReadRegs(0x08, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  std::vector<RegisterWrite> writes = rig.board.register_writes();
  ASSERT_EQ(writes.size(), 8u);
  EXPECT_EQ(writes[3].reg, 0x0B);
  EXPECT_EQ(writes[3].value, 4);
  EXPECT_EQ(writes[3].first, 0x08);
  EXPECT_EQ(writes[3].count, 8);
  EXPECT_EQ(writes[3].time_ns, 5000u);
  EXPECT_EQ(writes[0].request, writes[7].request);
  std::vector<RegisterRead> reads = rig.board.register_reads();
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].first, 0x08);
  EXPECT_EQ(reads[0].data.size(), 8u);
}

TEST(VendorRequests, DataStageDecidesAndWValueIsOnlyRecorded) {
  Rig rig(boards::SingleEthernet());
  uint8_t data = 0x07;
  rig.Control(0x40, 0xF1, 0x0005, 0x7F, 1, &data);
  EXPECT_EQ(rig.board.peek_register(0x7F), 0x07);
  EXPECT_EQ(rig.board.register_writes().back().setup_value, 0x0005);
  // A write without data stage changes nothing.
  rig.Control(0x40, 0xF1, 0x0009, 0x7F, 0, nullptr);
  EXPECT_EQ(rig.board.peek_register(0x7F), 0x07);
}

TEST(VendorRequests, MalformedRequestsStall) {
  Rig rig(boards::SingleEthernet());
  uint8_t buf[8] = {};
  EXPECT_EQ(rig.Control(0x40, 0xF0, 0, 0x10, 6, buf).handshake, Handshake::Stall);  // read as OUT
  EXPECT_EQ(rig.Control(0xC0, 0xF1, 0, 0x10, 6, buf).handshake, Handshake::Stall);  // write as IN
  EXPECT_EQ(rig.Control(0xC0, 0xF0, 0, 0xFC, 8, buf).handshake, Handshake::Stall);  // past 0xFF
  EXPECT_EQ(rig.Control(0x40, 0xF1, 0, 0x100, 1, buf).handshake, Handshake::Stall);
  EXPECT_EQ(rig.Control(0xC0, 0xF0, 0, 0x10, 6, nullptr).handshake, Handshake::Stall);
  EXPECT_EQ(rig.Control(0xC0, 0xF0, 0, 0xF8, 8, buf).actual, 8u);  // up to the last register
  EXPECT_TRUE(rig.board.register_writes().empty());
}

}  // namespace
}  // namespace hw
