// Information queries: sizes, statuses and byte counts of the answers, and
// the values they report from the adapter and the device.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "oid_bed.h"

namespace usbeth_test {
namespace {

const uint32_t kSupported[45] = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010113,
    0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D,
    0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105,
    0x0002020D, 0x00010114, 0x00010116, 0x00010115, 0x01010101, 0x01010102, 0x01010103, 0x01010104,
    0x01020101, 0x01020102, 0x01020103, 0x01020201, 0x01020202, 0x01020203, 0x01020204, 0xFD010100,
    0xFD010101, 0xFD010102, 0xFD010103, 0xFD010104, 0xFD010106,
};

class QueryTest : public ::testing::Test {
 protected:
  OidBed bed_;
};

TEST_F(QueryTest, SupportedListTooShortNeedsTheRestAndWritesNothing) {
  auto r = bed_.Query(OID_GEN_SUPPORTED_LIST, 100);
  EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(r->bytes_needed, 80u);
  EXPECT_EQ(r->bytes_done, 0u);
  EXPECT_TRUE(OidBed::Untouched(*r, 0));
}

TEST_F(QueryTest, SupportedListIsTheFortyFiveIdentifiersInOrder) {
  for (ULONG length : {180u, 181u, 256u}) {
    SCOPED_TRACE(length);
    auto r = bed_.Query(OID_GEN_SUPPORTED_LIST, length);
    ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->bytes_done, 180u);
    for (size_t i = 0; i < 45; ++i)
      EXPECT_EQ(OidBed::Ulong(r->buffer, 4 * i), kSupported[i]) << i;
    EXPECT_TRUE(OidBed::Untouched(*r, 180));
  }
}

TEST_F(QueryTest, VendorDescriptionNeedsRoomForItsTerminatingZero) {
  auto r = bed_.Query(OID_GEN_VENDOR_DESCRIPTION, 36);
  EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(r->bytes_needed, 1u);
  EXPECT_TRUE(OidBed::Untouched(*r, 0));
  r = bed_.Query(OID_GEN_VENDOR_DESCRIPTION, 40);
  ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r->bytes_done, 37u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->buffer.data())),
            "USB Fast Ethernet Network Device 5.0");
  EXPECT_TRUE(OidBed::Untouched(*r, 37));
}

TEST_F(QueryTest, DriverVersionsAreTwoBytesInAFourByteBuffer) {
  for (NDIS_OID oid :
       std::initializer_list<NDIS_OID>{OID_GEN_DRIVER_VERSION, OID_GEN_VENDOR_DRIVER_VERSION}) {
    auto r = bed_.Query(oid, 4);
    ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->bytes_done, 2u);
    EXPECT_EQ(r->buffer[0], 0x00);
    EXPECT_EQ(r->buffer[1], 0x05);
    EXPECT_TRUE(OidBed::Untouched(*r, 2));
  }
}

TEST_F(QueryTest, ZeroLengthBufferNeedsFourBytesForTheLinkSpeed) {
  auto r = bed_.Query(OID_GEN_LINK_SPEED, 0);
  EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(r->bytes_needed, 4u);
}

TEST_F(QueryTest, LinkSpeedBeforeMediaSetupReadsTenMegabits) {
  // As before media setup has resolved a speed.
  bed_.adapter()->LinkSpeed = 0;
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_LINK_SPEED), 100000u);
}

TEST_F(QueryTest, MediaIsDisconnectedUntilTheFirstPollThenConnected) {
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS), 1u);
  ASSERT_TRUE(bed_.WaitForConnect());
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS), 0u);
  // The partner negotiates 100 Mb/s full duplex by default.
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_LINK_SPEED), 1000000u);
}

TEST_F(QueryTest, LookaheadStaysFifteenHundredWhateverWasSet) {
  auto s = bed_.Set(OID_GEN_CURRENT_LOOKAHEAD, OidBed::UlongBytes(64));
  EXPECT_EQ(s->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_LOOKAHEAD), 1500u);
}

TEST_F(QueryTest, RefusedPacketFilterIsWhatTheQueryReports) {
  auto s = bed_.Set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(0x0010));
  EXPECT_EQ(s->status, NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_CURRENT_PACKET_FILTER), 0x0010u);
}

TEST_F(QueryTest, SetOnlyIdentifiersOfTheListAreInvalidAsQueries) {
  for (NDIS_OID oid : std::initializer_list<NDIS_OID>{
           OID_802_3_MULTICAST_LIST, OID_PNP_SET_POWER, OID_PNP_ADD_WAKE_UP_PATTERN,
           OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_ENABLE_WAKE_UP}) {
    auto r = bed_.Query(oid, 64);
    EXPECT_EQ(r->status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
    EXPECT_TRUE(OidBed::Untouched(*r, 0));
  }
}

TEST_F(QueryTest, RefusedIdentifiersWriteNeitherCount) {
  const NDIS_OID not_supported[] = {OID_GEN_SUPPORTED_GUIDS,   OID_PNP_CAPABILITIES,
                                    OID_PNP_QUERY_POWER,       OID_TCP_TASK_OFFLOAD,
                                    OID_TCP_TASK_IPSEC_ADD_SA, OID_TCP_TASK_IPSEC_DELETE_SA};
  for (NDIS_OID oid : not_supported) {
    OidBed::Direct d = bed_.CallDirect(false, oid, Bytes(64, kUntouched));
    EXPECT_EQ(d.status, NDIS_STATUS_NOT_SUPPORTED) << std::hex << oid;
    EXPECT_EQ(d.done, kSentinel);
    EXPECT_EQ(d.needed, kSentinel);
    EXPECT_EQ(d.buffer, Bytes(64, kUntouched));
  }
  for (NDIS_OID oid :
       std::initializer_list<NDIS_OID>{NDIS_OID(OID_GEN_PROTOCOL_OPTIONS + 0x100),
                                       NDIS_OID(0x00010120), NDIS_OID(0x01010105), NDIS_OID(0)}) {
    OidBed::Direct d = bed_.CallDirect(false, oid, Bytes(64, kUntouched));
    EXPECT_EQ(d.status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
    EXPECT_EQ(d.done, kSentinel);
    EXPECT_EQ(d.needed, kSentinel);
  }
}

TEST_F(QueryTest, SuccessLeavesBytesNeededAloneAndShortfallLeavesBytesWrittenAlone) {
  OidBed::Direct ok = bed_.CallDirect(false, OID_802_3_PERMANENT_ADDRESS, Bytes(8, kUntouched));
  EXPECT_EQ(ok.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(ok.done, 6u);
  EXPECT_EQ(ok.needed, kSentinel);
  OidBed::Direct shortfall = bed_.CallDirect(false, OID_802_3_PERMANENT_ADDRESS, Bytes(5));
  EXPECT_EQ(shortfall.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(shortfall.needed, 1u);
  EXPECT_EQ(shortfall.done, kSentinel);
}

TEST_F(QueryTest, ReceiveErrorCountsCrcErrorsAndTransfersHoldingNoFrame) {
  ASSERT_TRUE(bed_.WaitForConnect());
  hw::MacAddress partner = bed_.board().config().phys[0].partner.mac;
  Bytes frame(64, 0x11);
  std::memcpy(frame.data(), bed_.adapter()->CurrentAddress, 6);
  std::memcpy(frame.data() + 6, partner.data(), 6);
  bed_.board().inject_crc_errors(3);
  for (int i = 0; i < 5; ++i)
    bed_.board().send_from_partner(bed_.board().first_phy_address(), frame);
  // Two transfers that are no frame: 10 bytes with a clear status byte, and a
  // frame whose trailer gives another length.
  bed_.board().inject_bulk_in_transfer({1, 2, 3, 4, 5, 6, 0, 0, 0, 0});
  Bytes lying = frame;
  lying.insert(lying.end(), {0xEE, 0xEE, 0xEE, 0xEE, 0x30, 0x00, 0x00, 0x00});
  bed_.board().inject_bulk_in_transfer(lying);
  bed_.RunFor(100 * host::kMillisecond);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_RCV_ERROR), 5u);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_RCV_CRC_ERROR), 3u);
  EXPECT_EQ(bed_.QueryUlong(OID_GEN_RCV_OK), 2u);
  EXPECT_EQ(bed_.protocol().received_count(), 2u);
}

TEST_F(QueryTest, MaximumListSizeIsThirtyTwo) {
  EXPECT_EQ(bed_.QueryUlong(OID_802_3_MAXIMUM_LIST_SIZE), 32u);
}

TEST_F(QueryTest, QueriesAnswerAtDispatchLevelToo) {
  auto r = bed_.Query(OID_GEN_MAXIMUM_TOTAL_SIZE, 4, DISPATCH_LEVEL);
  ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(OidBed::Ulong(r->buffer), 1514u);
}

TEST(QueryValuesTest, AddressesVendorIdAndSizesFollowTheEepromAndTheRegistry) {
  OidBedOptions options;
  options.board.eeprom = hw::EepromWithAddress({0x00, 0x60, 0x08, 0x12, 0x34, 0x56});
  options.registry.set_network_address({0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
  options.registry.set_integer("TxPacketDesc", 5).set_integer("RxPacketDesc", 7);
  OidBed bed(options);
  auto permanent = bed.Query(OID_802_3_PERMANENT_ADDRESS, 6);
  ASSERT_EQ(permanent->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(permanent->data(), (Bytes{0x00, 0x60, 0x08, 0x12, 0x34, 0x56}));
  auto current = bed.Query(OID_802_3_CURRENT_ADDRESS, 6);
  ASSERT_EQ(current->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(current->data(), (Bytes{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
  // The controller filters on the configured address.
  EXPECT_EQ(bed.board().peek_registers(0x10, 6), (Bytes{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
  // The vendor identifier: the first four address bytes, in address order.
  auto vendor = bed.Query(OID_GEN_VENDOR_ID, 4);
  EXPECT_EQ(vendor->data(), (Bytes{0x00, 0x60, 0x08, 0x12}));
  EXPECT_EQ(bed.QueryUlong(OID_GEN_TRANSMIT_BUFFER_SPACE), 5u * 1514);
  EXPECT_EQ(bed.QueryUlong(OID_GEN_RECEIVE_BUFFER_SPACE), 7u * 1514);
  EXPECT_EQ(bed.QueryUlong(OID_GEN_MAXIMUM_SEND_PACKETS), 5u);
}

TEST(QueryValuesTest, LinkSpeedFollowsTheNegotiatedSpeed) {
  struct Case {
    const char* what;
    hw::BoardConfig board;
    uint32_t speed;
  };
  hw::BoardConfig ten = hw::boards::SingleEthernet();
  ten.phys[0].partner.abilities = 0x0060;  // 10BASE-T half and full only
  Case cases[] = {{"100 Mb/s", hw::boards::SingleEthernet(), 1000000},
                  {"10 Mb/s", ten, 100000},
                  {"home network", hw::boards::SingleHome(hw::phyid::kHomeA), 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OidBedOptions options;
    options.board = c.board;
    OidBed bed(options);
    ASSERT_TRUE(bed.WaitForConnect(20 * host::kSecond));
    EXPECT_EQ(bed.QueryUlong(OID_GEN_LINK_SPEED), c.speed);
  }
}

TEST(QueryValuesTest, FrameCountersFollowTraffic) {
  OidBed bed;
  ASSERT_TRUE(bed.WaitForConnect());
  bed.Set(OID_GEN_CURRENT_PACKET_FILTER, OidBed::UlongBytes(0x0B));
  hw::MacAddress partner = bed.board().config().phys[0].partner.mac;
  Bytes to_partner(100, 0x22), to_station(100, 0x33);
  std::memcpy(to_partner.data(), partner.data(), 6);
  std::memcpy(to_partner.data() + 6, bed.adapter()->CurrentAddress, 6);
  std::memcpy(to_station.data(), bed.adapter()->CurrentAddress, 6);
  std::memcpy(to_station.data() + 6, partner.data(), 6);
  for (int i = 0; i < 4; ++i)
    bed.protocol().send(to_partner);
  for (int i = 0; i < 3; ++i)
    bed.board().send_from_partner(bed.board().first_phy_address(), to_station);
  bed.RunFor(200 * host::kMillisecond);
  EXPECT_EQ(bed.board().frames_sent_to_partner().size(), 4u);
  EXPECT_EQ(bed.QueryUlong(OID_GEN_XMIT_OK), 4u);
  EXPECT_EQ(bed.QueryUlong(OID_GEN_RCV_OK), 3u);
  EXPECT_EQ(bed.QueryUlong(OID_GEN_XMIT_ERROR), 0u);
}

}  // namespace
}  // namespace usbeth_test
