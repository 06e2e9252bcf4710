// The station address from the EEPROM when the EEPROM or the controller
// cannot be trusted: requests that fail, a done bit that never comes, and
// addresses that cannot name one station.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "controller/controller.h"
#include "nt/debug.h"
#include "phy_rig.h"

namespace usbeth_test {
namespace {

using Bytes = std::vector<uint8_t>;

hw::BoardConfig BoardWithAddress(const hw::MacAddress& mac) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.eeprom = hw::EepromWithAddress(mac);
  return config;
}

Bytes Address(const UCHAR* a) {
  return Bytes(a, a + 6);
}

bool DebugOutputHas(const std::string& text) {
  for (const std::string& line : host::debug_output()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// Unicast and locally administered: what a made-up address must be.
void ExpectLocallyAdministeredUnicast(const UCHAR* a) {
  EXPECT_EQ(a[0] & 0x01, 0) << "group bit";
  EXPECT_EQ(a[0] & 0x02, 0x02) << "locally administered bit";
  EXPECT_TRUE(usbeth::UsableStationAddress(a));
}

TEST(StationAddressTest, UsableMeansUnicastAndNotAllZero) {
  const UCHAR good[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  const UCHAR local[6] = {0x02, 0, 0, 0, 0, 0};
  const UCHAR zero[6] = {0, 0, 0, 0, 0, 0};
  const UCHAR broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const UCHAR multicast[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const UCHAR last_byte_only[6] = {0, 0, 0, 0, 0, 1};
  EXPECT_TRUE(usbeth::UsableStationAddress(good));
  EXPECT_TRUE(usbeth::UsableStationAddress(local));
  EXPECT_TRUE(usbeth::UsableStationAddress(last_byte_only));
  EXPECT_FALSE(usbeth::UsableStationAddress(zero));
  EXPECT_FALSE(usbeth::UsableStationAddress(broadcast));
  EXPECT_FALSE(usbeth::UsableStationAddress(multicast));
}

TEST(StationAddressTest, EepromAddressThatCannotNameAStationIsReplacedByARandomLocalOne) {
  const hw::MacAddress bad[] = {{0, 0, 0, 0, 0, 0},
                                {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                {0x01, 0x00, 0x5E, 0x12, 0x34, 0x56},
                                {0x03, 0x11, 0x22, 0x33, 0x44, 0x55}};
  for (const hw::MacAddress& mac : bad) {
    SCOPED_TRACE(::testing::Message() << std::hex << int(mac[0]) << ":" << int(mac[5]));
    host::clear_debug_output();
    PhyRig rig(BoardWithAddress(mac));
    EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
    ExpectLocallyAdministeredUnicast(rig.a()->PermanentAddress);
    EXPECT_NE(Address(rig.a()->PermanentAddress), Bytes(mac.begin(), mac.end()));
    EXPECT_TRUE(DebugOutputHas("no usable station address"));
  }
  // A good address is kept as it is, without a word.
  host::clear_debug_output();
  PhyRig rig(BoardWithAddress({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
  EXPECT_EQ(Address(rig.a()->PermanentAddress), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_FALSE(DebugOutputHas("no usable station address"));
}

TEST(StationAddressTest, EepromWhoseDoneBitNeverComesGivesARandomLocalAddress) {
  // Once with the data registers left as the driver wrote them, once with a
  // good-looking word in them that the done bit never vouched for.
  for (bool word_arrives : {false, true}) {
    SCOPED_TRACE(word_arrives ? "word arrives, done bit stuck" : "nothing arrives");
    hw::BoardConfig config = BoardWithAddress({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    if (word_arrives) {
      config.timing.eeprom_done_bit_stuck = true;
    } else {
      config.timing.eeprom_ns = hw::kNever;
    }
    host::clear_debug_output();
    PhyRig rig(config);
    EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
    ExpectLocallyAdministeredUnicast(rig.a()->PermanentAddress);
    EXPECT_NE(Address(rig.a()->PermanentAddress), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_TRUE(DebugOutputHas("no usable station address"));
  }
}

// Only the words of the address decide: a done bit missing on any of words
// 0..2 gives a made-up address, one missing on a later word keeps the
// EEPROM's.
TEST(StationAddressTest, OnlyTheAddressWordsDoneBitsDecideWhetherTheAddressIsTrusted) {
  const Bytes eeprom_address{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  for (int word = 0; word < 5; ++word) {
    SCOPED_TRACE(::testing::Message() << "word " << word);
    hw::BoardConfig config = BoardWithAddress({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    config.timing.eeprom_stuck_words = static_cast<uint16_t>(1u << word);
    PhyRig rig(config);
    EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
    if (word < 3) {
      ExpectLocallyAdministeredUnicast(rig.a()->PermanentAddress);
      EXPECT_NE(Address(rig.a()->PermanentAddress), eeprom_address);
    } else {
      EXPECT_EQ(Address(rig.a()->PermanentAddress), eeprom_address);
    }
  }
}

// The log line names the address the adapter goes on with, all six bytes.
TEST(StationAddressTest, TheMadeUpAddressIsLoggedAsUsed) {
  host::clear_debug_output();
  PhyRig rig(BoardWithAddress({0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
  const UCHAR* a = rig.a()->PermanentAddress;
  char text[32];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4],
                a[5]);
  EXPECT_TRUE(DebugOutputHas(std::string("locally administered address ") + text + "\n")) << text;
}

TEST(StationAddressTest, RandomAddressesDifferBetweenAdaptersAndOverTime) {
  PhyRig rig(hw::boards::SingleEthernet());
  usbeth::Adapter second{};
  UCHAR a[6], b[6], c[6];
  usbeth::MakeRandomStationAddress(rig.a(), a);
  usbeth::MakeRandomStationAddress(&second, b);
  rig.RunFor(host::kMillisecond);
  usbeth::MakeRandomStationAddress(rig.a(), c);
  for (const UCHAR* x : {a, b, c})
    ExpectLocallyAdministeredUnicast(x);
  EXPECT_NE(Address(a), Address(b));
  EXPECT_NE(Address(a), Address(c));
  // Whatever the counter and the Adapter's address mix into the first byte,
  // the made-up address is always one station's and nobody's assigned one.
  // Every byte is drawn, the first one's six free bits too.
  std::set<Bytes> seen;
  std::set<UCHAR> first_bytes;
  for (int i = 0; i < 64; ++i) {
    rig.RunFor(host::kMicrosecond * (1 + i));
    UCHAR x[6] = {};
    usbeth::MakeRandomStationAddress(i % 2 == 0 ? rig.a() : &second, x);
    ExpectLocallyAdministeredUnicast(x);
    seen.insert(Address(x));
    first_bytes.insert(x[0]);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_GT(first_bytes.size(), 8u);
}

TEST(StationAddressTest, ControllerRefusingAnEepromRequestFailsTheReadAndStopsPolling) {
  struct Case {
    const char* what;
    uint16_t refused_register;
  };
  for (const Case& c :
       {Case{"word command", 0x20}, Case{"done-bit poll", 0x23}, Case{"data read", 0x21}}) {
    SCOPED_TRACE(c.what);
    PhyRig rig(BoardWithAddress({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    const uint16_t refused = c.refused_register;
    rig.board().set_vendor_stall_rule(
        [refused](const hw::SetupPacket& setup) { return setup.wIndex == refused; });
    USHORT word = 0x5555;
    EXPECT_EQ(usbeth::ReadEepromWordChecked(rig.a(), 0, &word), usbeth::kFailed);
    EXPECT_EQ(word, 0);
    // Nothing more is asked of the controller after the refusal.
    const auto log = rig.board().control_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().handshake, hw::Handshake::Stall);
    EXPECT_EQ(log.back().setup.wIndex, refused);
    EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kFailed);
    rig.board().set_vendor_stall_rule(nullptr);
  }
}

}  // namespace
}  // namespace usbeth_test
