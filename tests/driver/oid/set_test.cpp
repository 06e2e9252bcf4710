// Information sets: the packet filter as the controller receives it, the
// multicast list as stored, and the byte counts of every answer.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "oid_bed.h"

namespace usbeth_test {
namespace {

constexpr uint8_t kAllMulticastBit = 0x02;  // register 0x00
constexpr uint8_t kPromiscuousBit = 0x04;   // register 0x02
constexpr uint8_t kBroadcastBit = 0x02;     // register 0x02

class SetTest : public ::testing::Test {
 protected:
  SetTest() {
    bed_.RunFor(100 * host::kMillisecond);
    bed_.board().clear_logs();
  }
  std::shared_ptr<host::ndis::Request> SetFilter(uint32_t filter, KIRQL irql = PASSIVE_LEVEL) {
    auto r = bed_.Set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(filter), irql);
    bed_.RunFor(20 * host::kMillisecond);  // the register write reaches the device
    return r;
  }
  Bytes FilterRegisters() { return bed_.board().peek_registers(0x00, 3); }
  size_t FilterWrites() { return bed_.board().values_written_to(0x02).size(); }
  static Bytes Addresses(size_t n) {
    Bytes list(6 * n);
    for (size_t i = 0; i < n; ++i) {
      list[6 * i] = 0x01;
      list[6 * i + 1] = 0x00;
      list[6 * i + 2] = 0x5E;
      list[6 * i + 5] = static_cast<uint8_t>(i);
      list[6 * i + 4] = static_cast<uint8_t>(i >> 8);
    }
    return list;
  }
  Bytes StoredList() {
    const usbeth::Adapter* a = bed_.adapter();
    return Bytes(&a->MulticastList[0][0], &a->MulticastList[0][0] + 6 * a->MulticastCount);
  }

  OidBed bed_;
};

TEST_F(SetTest, DirectedMulticastBroadcastIsAcceptedWithoutAllMulticastOrPromiscuous) {
  auto r = SetFilter(0x0B);
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 4u);
  EXPECT_EQ(r->bytes_needed, 0u);
  Bytes regs = FilterRegisters();
  EXPECT_EQ(regs[0] & kAllMulticastBit, 0);
  EXPECT_EQ(regs[2], kBroadcastBit);
  EXPECT_EQ(FilterWrites(), 1u);
}

TEST_F(SetTest, PromiscuousAloneOrWithAllMulticastSetsBothControllerBits) {
  for (uint32_t filter : {0x20u, 0x24u}) {
    SCOPED_TRACE(filter);
    auto r = SetFilter(filter);
    EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->bytes_done, 4u);
    Bytes regs = FilterRegisters();
    EXPECT_EQ(regs[0] & kAllMulticastBit, kAllMulticastBit);
    EXPECT_EQ(regs[2], kPromiscuousBit | kBroadcastBit);
  }
}

TEST_F(SetTest, AllMulticastAloneSetsOnlyItsBit) {
  auto r = SetFilter(0x04);
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  Bytes regs = FilterRegisters();
  EXPECT_EQ(regs[0] & kAllMulticastBit, kAllMulticastBit);
  EXPECT_EQ(regs[2], kBroadcastBit);
}

TEST_F(SetTest, FilterZeroClearsBothBits) {
  SetFilter(0x24);
  auto r = SetFilter(0);
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 4u);
  Bytes regs = FilterRegisters();
  EXPECT_EQ(regs[0] & kAllMulticastBit, 0);
  EXPECT_EQ(regs[2], kBroadcastBit);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), 0u);
}

TEST_F(SetTest, BitsWithoutEffectAreAccepted) {
  auto r = SetFilter(0x0F01 | 0x00010000);
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), 0x00010F01u);
}

TEST_F(SetTest, RefusedTypesAreStoredButNeverReachTheController) {
  for (uint32_t refused :
       {0x0010u, 0x0040u, 0x0080u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0x802Bu}) {
    SCOPED_TRACE(refused);
    bed_.board().clear_logs();
    const Bytes before = FilterRegisters();
    auto r = SetFilter(refused);
    EXPECT_EQ(r->status, NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(r->bytes_needed, 0u);
    EXPECT_EQ(FilterWrites(), 0u);
    EXPECT_EQ(FilterRegisters(), before);
    EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), refused);
  }
}

TEST_F(SetTest, FilterOfWrongLengthIsRefusedAndNotStored) {
  SetFilter(0x0B);
  for (size_t length : {0u, 2u, 3u, 5u, 8u}) {
    SCOPED_TRACE(length);
    auto r = bed_.Set(OID_GEN_CURRENT_PACKET_FILTER, Bytes(length, 0x20));
    EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(r->bytes_needed, 4u);
    EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), 0x0Bu);
  }
  EXPECT_EQ(FilterRegisters()[2], kBroadcastBit);
}

TEST_F(SetTest, FilterSetAtDispatchCompletesAtOnceAndTheDeviceFollows) {
  const host::Nanoseconds before = bed_.bed().scheduler().now();
  auto r = bed_.protocol().set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(0x24),
                               host::ndis::CallOptions{DISPATCH_LEVEL});
  // The handler neither pended nor waited: the request was done when the
  // call returned, at the same virtual time, and the IRQL is ours again.
  ASSERT_TRUE(r->completed);
  EXPECT_FALSE(r->pended);
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 4u);
  EXPECT_EQ(r->completed_at, before);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  bed_.RunFor(20 * host::kMillisecond);
  Bytes regs = FilterRegisters();
  EXPECT_EQ(regs[0] & kAllMulticastBit, kAllMulticastBit);
  EXPECT_EQ(regs[2], kPromiscuousBit | kBroadcastBit);
  // Back to directed and broadcast, again at DISPATCH_LEVEL, in quick
  // succession with another set: the last one is what the device keeps.
  bed_.protocol().set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(0x20),
                      host::ndis::CallOptions{DISPATCH_LEVEL});
  bed_.protocol().set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(0x09),
                      host::ndis::CallOptions{DISPATCH_LEVEL});
  bed_.RunFor(20 * host::kMillisecond);
  regs = FilterRegisters();
  EXPECT_EQ(regs[0] & kAllMulticastBit, 0);
  EXPECT_EQ(regs[2], kBroadcastBit);
  // The receiver and transmitter stay enabled through filter changes.
  EXPECT_EQ(regs[0] & 0x01, 0x01);
}

TEST_F(SetTest, EmptyMulticastListIsAccepted) {
  bed_.Set(OID_802_3_MULTICAST_LIST, Addresses(3));
  auto r = bed_.Set(OID_802_3_MULTICAST_LIST, {});
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 0u);
  EXPECT_EQ(r->bytes_needed, 0u);
  EXPECT_EQ(bed_.adapter()->MulticastCount, 0);
}

TEST_F(SetTest, MulticastListOfPartialAddressIsRefusedAndTheListKept) {
  bed_.Set(OID_802_3_MULTICAST_LIST, Addresses(2));
  for (size_t length : {7u, 1u, 13u}) {
    auto r = bed_.Set(OID_802_3_MULTICAST_LIST, Bytes(length, 0x01));
    EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(r->bytes_needed, 6u);
    EXPECT_EQ(StoredList(), Addresses(2));
  }
}

TEST_F(SetTest, MulticastListIsStoredAndTheHashStaysOpen) {
  auto r = bed_.Set(OID_802_3_MULTICAST_LIST, Addresses(3));
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 18u);
  EXPECT_EQ(StoredList(), Addresses(3));
  bed_.RunFor(10 * host::kMillisecond);
  EXPECT_EQ(bed_.board().peek_registers(0x08, 8), Bytes(8, 0xFF));
  for (uint8_t reg = 0x08; reg <= 0x0F; ++reg) {
    EXPECT_TRUE(bed_.board().values_written_to(reg).empty());
  }
}

TEST_F(SetTest, SixtyFourAddressesFitExactly) {
  auto r = bed_.Set(OID_802_3_MULTICAST_LIST, Addresses(64));
  EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 384u);
  EXPECT_EQ(StoredList(), Addresses(64));
}

TEST_F(SetTest, LongerListIsRefusedAsFullWithNothingCopied) {
  bed_.Set(OID_802_3_MULTICAST_LIST, Addresses(2));
  const usbeth::Adapter* a = bed_.adapter();
  for (size_t n : {65u, 100u, 200u}) {
    SCOPED_TRACE(n);
    // The whole record is compared: a copy past the list would show in the
    // fields that follow it.
    Bytes record(reinterpret_cast<const uint8_t*>(a),
                 reinterpret_cast<const uint8_t*>(a) + sizeof(*a));
    Bytes list = Addresses(n);
    for (uint8_t& b : list)
      b ^= 0xA5;
    OidBed::Direct d = bed_.CallDirect(true, OID_802_3_MULTICAST_LIST, list);
    EXPECT_EQ(d.status, NDIS_STATUS_MULTICAST_FULL);
    EXPECT_EQ(d.done, 0u);
    EXPECT_EQ(d.needed, 0u);
    EXPECT_EQ(std::memcmp(record.data(), a, sizeof(*a)), 0);
    // Through the protocol as well.
    auto r = bed_.Set(OID_802_3_MULTICAST_LIST, list);
    EXPECT_EQ(r->status, NDIS_STATUS_MULTICAST_FULL);
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(StoredList(), Addresses(2));
  }
}

TEST_F(SetTest, LookaheadAndWakeUpAreAcceptedWithoutEffect) {
  for (NDIS_OID oid :
       std::initializer_list<NDIS_OID>{OID_GEN_CURRENT_LOOKAHEAD, OID_PNP_ENABLE_WAKE_UP}) {
    for (size_t length : {0u, 3u, 4u, 9u}) {
      bed_.board().clear_logs();
      auto r = bed_.Set(oid, Bytes(length, 0x7F));
      EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS);
      EXPECT_EQ(r->bytes_done, length);
      EXPECT_EQ(r->bytes_needed, 0u);
      bed_.RunFor(5 * host::kMillisecond);
      EXPECT_TRUE(bed_.board().register_writes().empty());
    }
  }
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_LOOKAHEAD), 1500u);
}

TEST_F(SetTest, PowerIdentifiersAreNotSupported) {
  for (NDIS_OID oid : std::initializer_list<NDIS_OID>{
           OID_PNP_SET_POWER, OID_PNP_ADD_WAKE_UP_PATTERN, OID_PNP_REMOVE_WAKE_UP_PATTERN}) {
    auto r = bed_.Set(oid, OidBed::UlongBytes(1));
    EXPECT_EQ(r->status, NDIS_STATUS_NOT_SUPPORTED) << std::hex << oid;
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(r->bytes_needed, 0u);
  }
}

TEST_F(SetTest, OtherIdentifiersAreInvalid) {
  for (NDIS_OID oid : std::initializer_list<NDIS_OID>{
           OID_GEN_PROTOCOL_OPTIONS, OID_GEN_LINK_SPEED, OID_GEN_SUPPORTED_LIST,
           OID_802_3_CURRENT_ADDRESS, NDIS_OID(0x12345678)}) {
    OidBed::Direct d = bed_.CallDirect(true, oid, OidBed::UlongBytes(1));
    EXPECT_EQ(d.status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
    EXPECT_EQ(d.done, 0u);
    EXPECT_EQ(d.needed, 0u);
  }
}

}  // namespace
}  // namespace usbeth_test
