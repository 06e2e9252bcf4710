// Every identifier the adapter lists as supported, queried with a zero, a
// short, an exact and a long buffer. An answer of n bytes: zero and short
// buffers get NDIS_STATUS_INVALID_LENGTH with the shortfall and nothing
// written; exact and long buffers get the n bytes and nothing beyond them.
// Refused identifiers get their status at every size and no byte written.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "conformance_bed.h"

namespace conformance {
namespace {

enum class Kind { Answer, NotSupported, InvalidOid };

struct OidRow {
  NDIS_OID oid;
  const char* name;
  Kind kind;
  ULONG length;                   // bytes of the answer
  std::optional<uint32_t> value;  // for constants and values known on this board
};

// In the order of the adapter's list. Values that depend on the run (link,
// counters) are checked for size only here; their meaning is tested elsewhere.
const OidRow kRows[] = {
    {0x00010101, "GEN_SUPPORTED_LIST", Kind::Answer, 180, std::nullopt},
    {0x00010102, "GEN_HARDWARE_STATUS", Kind::Answer, 4, 0},
    {0x00010103, "GEN_MEDIA_SUPPORTED", Kind::Answer, 4, 0},
    {0x00010104, "GEN_MEDIA_IN_USE", Kind::Answer, 4, 0},
    {0x00010105, "GEN_MAXIMUM_LOOKAHEAD", Kind::Answer, 4, 1500},
    {0x00010106, "GEN_MAXIMUM_FRAME_SIZE", Kind::Answer, 4, 1500},
    {0x00010111, "GEN_MAXIMUM_TOTAL_SIZE", Kind::Answer, 4, 1514},
    {0x00010113, "GEN_MAC_OPTIONS", Kind::Answer, 4, 0x1F},
    {0x00010112, "GEN_PROTOCOL_OPTIONS", Kind::Answer, 4, 0},
    {0x00010107, "GEN_LINK_SPEED", Kind::Answer, 4, 1000000},
    {0x00010108, "GEN_TRANSMIT_BUFFER_SPACE", Kind::Answer, 4, 20 * 1514},
    {0x00010109, "GEN_RECEIVE_BUFFER_SPACE", Kind::Answer, 4, 20 * 1514},
    {0x0001010A, "GEN_TRANSMIT_BLOCK_SIZE", Kind::Answer, 4, 1514},
    {0x0001010B, "GEN_RECEIVE_BLOCK_SIZE", Kind::Answer, 4, 1514},
    {0x0001010C, "GEN_VENDOR_ID", Kind::Answer, 4, 0x00000002},  // 02:00:00:00
    {0x0001010D, "GEN_VENDOR_DESCRIPTION", Kind::Answer, 37, std::nullopt},
    {0x00010110, "GEN_DRIVER_VERSION", Kind::Answer, 2, 0x0500},
    {0x0001010E, "GEN_CURRENT_PACKET_FILTER", Kind::Answer, 4, 0x0B},
    {0x0001010F, "GEN_CURRENT_LOOKAHEAD", Kind::Answer, 4, 1500},
    {0x00020101, "GEN_XMIT_OK", Kind::Answer, 4, std::nullopt},
    {0x00020102, "GEN_RCV_OK", Kind::Answer, 4, std::nullopt},
    {0x00020103, "GEN_XMIT_ERROR", Kind::Answer, 4, 0},
    {0x00020104, "GEN_RCV_ERROR", Kind::Answer, 4, 0},
    {0x00020105, "GEN_RCV_NO_BUFFER", Kind::Answer, 4, 0},
    {0x0002020D, "GEN_RCV_CRC_ERROR", Kind::Answer, 4, 0},
    {0x00010114, "GEN_MEDIA_CONNECT_STATUS", Kind::Answer, 4, 0},
    {0x00010116, "GEN_VENDOR_DRIVER_VERSION", Kind::Answer, 2, 0x0500},
    {0x00010115, "GEN_MAXIMUM_SEND_PACKETS", Kind::Answer, 4, 20},
    {0x01010101, "802_3_PERMANENT_ADDRESS", Kind::Answer, 6, std::nullopt},
    {0x01010102, "802_3_CURRENT_ADDRESS", Kind::Answer, 6, std::nullopt},
    {0x01010103, "802_3_MULTICAST_LIST", Kind::InvalidOid, 0, std::nullopt},
    {0x01010104, "802_3_MAXIMUM_LIST_SIZE", Kind::Answer, 4, 32},
    {0x01020101, "802_3_RCV_ERROR_ALIGNMENT", Kind::Answer, 4, 0},
    {0x01020102, "802_3_XMIT_ONE_COLLISION", Kind::Answer, 4, 0},
    {0x01020103, "802_3_XMIT_MORE_COLLISIONS", Kind::Answer, 4, 0},
    {0x01020201, "802_3_XMIT_DEFERRED", Kind::Answer, 4, 0},
    {0x01020202, "802_3_XMIT_MAX_COLLISIONS", Kind::Answer, 4, 0},
    {0x01020203, "802_3_RCV_OVERRUN", Kind::Answer, 4, 0},
    {0x01020204, "802_3_XMIT_UNDERRUN", Kind::Answer, 4, 0},
    {0xFD010100, "PNP_CAPABILITIES", Kind::NotSupported, 0, std::nullopt},
    {0xFD010101, "PNP_SET_POWER", Kind::InvalidOid, 0, std::nullopt},
    {0xFD010102, "PNP_QUERY_POWER", Kind::NotSupported, 0, std::nullopt},
    {0xFD010103, "PNP_ADD_WAKE_UP_PATTERN", Kind::InvalidOid, 0, std::nullopt},
    {0xFD010104, "PNP_REMOVE_WAKE_UP_PATTERN", Kind::InvalidOid, 0, std::nullopt},
    {0xFD010106, "PNP_ENABLE_WAKE_UP", Kind::InvalidOid, 0, std::nullopt},
};
constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);
static_assert(kRowCount == 45, "one row per listed identifier");

constexpr uint8_t kCallerFill = 0xCC;  // what the protocol's buffer holds before the call
constexpr ULONG kSlack = 12;           // extra bytes of a long buffer

uint32_t Value(const std::vector<uint8_t>& b, ULONG length) {
  uint32_t v = 0;
  for (ULONG i = 0; i < length && i < 4; ++i)
    v |= uint32_t(b[i]) << (8 * i);
  return v;
}

class OidConformanceTest : public ::testing::Test {
 protected:
  Bed bed_;
  size_t queries_ = 0;

  std::shared_ptr<host::ndis::Request> Query(NDIS_OID oid, ULONG length) {
    ++queries_;
    auto r = bed_.protocol().query(oid, length, host::ndis::CallOptions{DISPATCH_LEVEL});
    EXPECT_TRUE(r->completed);
    EXPECT_FALSE(r->pended) << "queries never pend";
    return r;
  }
  static bool UntouchedFrom(const host::ndis::Request& r, size_t from) {
    for (size_t i = from; i < r.length; ++i) {
      if (r.buffer[i] != kCallerFill) return false;
    }
    return true;
  }
};

TEST_F(OidConformanceTest, TheListNamesExactlyTheIdentifiersOfTheTable) {
  auto r = Query(OID_GEN_SUPPORTED_LIST, 180);
  ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS);
  for (size_t i = 0; i < kRowCount; ++i) {
    EXPECT_EQ(Value({r->buffer.begin() + 4 * i, r->buffer.end()}, 4), kRows[i].oid)
        << kRows[i].name;
  }
}

TEST_F(OidConformanceTest, EveryListedIdentifierAtZeroShortExactAndLongBuffers) {
  for (const OidRow& row : kRows) {
    SCOPED_TRACE(row.name);
    if (row.kind != Kind::Answer) {
      const NDIS_STATUS expected =
          row.kind == Kind::NotSupported ? NDIS_STATUS_NOT_SUPPORTED : NDIS_STATUS_INVALID_OID;
      for (ULONG length : {0u, 1u, 4u, 4u + kSlack}) {
        auto r = Query(row.oid, length);
        EXPECT_EQ(r->status, expected) << length;
        EXPECT_EQ(r->bytes_done, 0u) << length;
        EXPECT_TRUE(UntouchedFrom(*r, 0)) << length;
      }
      continue;
    }
    // Zero and short: the shortfall, nothing written.
    for (ULONG length : {0u, row.length - 1}) {
      auto r = Query(row.oid, length);
      EXPECT_EQ(r->status, NDIS_STATUS_INVALID_LENGTH) << length;
      EXPECT_EQ(r->bytes_needed, row.length - length) << length;
      EXPECT_EQ(r->bytes_done, 0u) << length;
      EXPECT_TRUE(UntouchedFrom(*r, 0)) << length;
    }
    // Exact and long: the answer, and nothing past it.
    std::vector<uint8_t> exact_answer;
    for (ULONG length : {row.length, row.length + kSlack}) {
      auto r = Query(row.oid, length);
      ASSERT_EQ(r->status, NDIS_STATUS_SUCCESS) << length;
      EXPECT_EQ(r->bytes_done, row.length) << length;
      EXPECT_TRUE(UntouchedFrom(*r, row.length)) << length;
      if (row.value) {
        EXPECT_EQ(Value(r->buffer, row.length), *row.value) << length;
      }
      std::vector<uint8_t> answer(r->buffer.begin(), r->buffer.begin() + row.length);
      if (exact_answer.empty()) {
        exact_answer = answer;
      } else if (row.oid != OID_GEN_XMIT_OK && row.oid != OID_GEN_RCV_OK) {
        EXPECT_EQ(answer, exact_answer) << "same answer whatever the buffer size";
      }
    }
  }
  // 36 answered identifiers at 4 sizes, 9 refused at 4 sizes.
  EXPECT_EQ(queries_, 4 * kRowCount);
  RecordProperty("queries", static_cast<int>(queries_));
}

TEST_F(OidConformanceTest, AddressesAndDescriptionAreTheBoardsAndTheDrivers) {
  auto permanent = Query(OID_802_3_PERMANENT_ADDRESS, 6);
  auto current = Query(OID_802_3_CURRENT_ADDRESS, 6);
  const std::vector<uint8_t> eeprom{0x02, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(permanent->data(), eeprom);
  EXPECT_EQ(current->data(), eeprom);
  EXPECT_EQ(bed_.board().peek_registers(0x10, 6), eeprom);
  auto description = Query(OID_GEN_VENDOR_DESCRIPTION, 37);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(description->buffer.data())),
            "USB Fast Ethernet Network Device 5.0");
  EXPECT_EQ(description->buffer[36], 0);
}

TEST_F(OidConformanceTest, UnlistedIdentifiersAreRefused) {
  struct Refused {
    NDIS_OID oid;
    NDIS_STATUS status;
  } refused[] = {
      {OID_GEN_SUPPORTED_GUIDS, NDIS_STATUS_NOT_SUPPORTED},
      {OID_TCP_TASK_OFFLOAD, NDIS_STATUS_NOT_SUPPORTED},
      {OID_TCP_TASK_IPSEC_ADD_SA, NDIS_STATUS_NOT_SUPPORTED},
      {OID_TCP_TASK_IPSEC_DELETE_SA, NDIS_STATUS_NOT_SUPPORTED},
      {0x00010118, NDIS_STATUS_INVALID_OID},  // network layer addresses
      {0x00020106, NDIS_STATUS_INVALID_OID},  // directed bytes sent
      {0xFFFFFFFF, NDIS_STATUS_INVALID_OID},
  };
  for (const Refused& r : refused) {
    auto q = Query(r.oid, 64);
    EXPECT_EQ(q->status, r.status) << std::hex << r.oid;
    EXPECT_TRUE(UntouchedFrom(*q, 0));
  }
}

}  // namespace
}  // namespace conformance
