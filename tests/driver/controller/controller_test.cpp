// Controller start steps, EEPROM and power-up, as the board saw them.

#include <gtest/gtest.h>

#include "phy_rig.h"
#include "usb/usb_transport.h"

namespace usbeth_test {
namespace {

using Bytes = std::vector<uint8_t>;

class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() : rig_(hw::boards::SingleEthernet()) {}
  usbeth::Adapter* a() { return rig_.a(); }
  hw::Board& board() { return rig_.board(); }
  PhyRig rig_;
};

TEST_F(ControllerTest, ResetStopsTheMacThenPulsesItsResetBit) {
  a()->RxControl0 = 0xFB;
  a()->RxControl1 = 0x30;
  usbeth::ResetController(a());
  EXPECT_EQ(BlockWrites(board(), 0x00), (std::vector<Bytes>{{0x00, 0x00}}));
  EXPECT_EQ(BlockWrites(board(), 0x01), (std::vector<Bytes>{{0x08, 0x00}}));
  std::vector<hw::RegisterWrite> w = board().register_writes();
  ASSERT_EQ(w.size(), 4u);
  EXPECT_GE(w[2].time_ns - w[0].time_ns, 1 * host::kMillisecond);
  EXPECT_EQ(board().peek_register(0x00), 0x00);
  EXPECT_EQ(board().peek_register(0x02), 0x00);
  // The shadows stay for the enable that follows.
  EXPECT_EQ(a()->RxControl0, 0xFB);
  EXPECT_EQ(a()->RxControl1, 0x30);
}

TEST_F(ControllerTest, EnableWritesTheReceiveControlsAndForgetsTheFilterBits) {
  a()->RxControl0 = 0xFB;
  a()->RxControl1 = 0x30;
  usbeth::EnableController(a());
  EXPECT_EQ(BlockWrites(board(), 0x00), (std::vector<Bytes>{{0xF9, 0x30, 0x00}}));
  EXPECT_EQ(a()->RxControl0, 0xF9);
  EXPECT_EQ(board().peek_registers(0x00, 3), (Bytes{0xF9, 0x30, 0x00}));
}

TEST_F(ControllerTest, MediaBitsFollowSpeedAndDuplexExceptOnTheOneMegabitHomePhy) {
  struct Case {
    ULONG phy, speed, duplex;
    UCHAR bits;
  } cases[] = {
      {usbeth::kPhyEthernet1, 2, 2, 0x30}, {usbeth::kPhyEthernet1, 2, 1, 0x10},
      {usbeth::kPhyEthernet1, 1, 2, 0x20}, {usbeth::kPhyEthernet1, 1, 1, 0x00},
      {usbeth::kPhyHomeB, 3, 1, 0x00},     {usbeth::kPhyEthernet1, 0, 0, 0x00},
      {usbeth::kPhyHomeA, 2, 2, 0x00},
  };
  for (const Case& c : cases) {
    a()->RxControl1 = 0xFF;
    a()->ActivePhyId = c.phy;
    a()->LinkSpeed = c.speed;
    a()->LinkDuplex = c.duplex;
    usbeth::ComputeMediaBits(a());
    EXPECT_EQ(a()->RxControl1, c.bits) << std::hex << c.phy << " " << c.speed << c.duplex;
  }
  EXPECT_TRUE(board().register_writes().empty());
}

TEST_F(ControllerTest, PowerUpReleasesThePhyResetLineThenScans) {
  a()->LinkDownCount = 2;
  EXPECT_EQ(usbeth::PowerUpPhys(a()), usbeth::kOk);
  EXPECT_EQ(BlockWrites(board(), 0x7E), (std::vector<Bytes>{{0x24, 0x06}, {0x26, 0x04}}));
  EXPECT_EQ(BlockWrites(board(), 0x7B), (std::vector<Bytes>{{0x02, 0x00}}));
  std::vector<hw::RegisterWrite> w = board().register_writes();
  ASSERT_GE(w.size(), 6u);
  EXPECT_GE(w[2].time_ns - w[0].time_ns, 5 * host::kMillisecond);
  EXPECT_GE(w[4].time_ns - w[2].time_ns, 10 * host::kMillisecond);
  EXPECT_EQ(a()->LinkDownCount, 0);
  // The PHY answered the scan after the reset line was released.
  EXPECT_EQ(a()->PhyCount, 1);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyEthernet1);
  EXPECT_FALSE(board().phy_state(1).in_reset);
}

class EepromTest : public ::testing::Test {
 protected:
  static hw::BoardConfig Board(uint64_t eeprom_ns) {
    hw::BoardConfig config = hw::boards::SingleEthernet();
    config.eeprom = hw::EepromWithAddress({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    config.timing.eeprom_ns = eeprom_ns;
    return config;
  }
};

TEST_F(EepromTest, PermanentAddressComesFromWordsZeroToTwoLowByteFirst) {
  PhyRig rig(Board(100 * hw::kMicrosecond));
  std::memset(rig.a()->PermanentAddress, 0xEE, 6);
  EXPECT_EQ(usbeth::ReadPermanentAddress(rig.a()), usbeth::kOk);
  EXPECT_EQ(Bytes(rig.a()->PermanentAddress, rig.a()->PermanentAddress + 6),
            (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  // Sixteen word reads, indices in order, each started with the read command.
  Bytes indices;
  for (int i = 0; i < 16; ++i)
    indices.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(rig.board().values_written_to(0x20), indices);
  EXPECT_EQ(rig.board().values_written_to(0x23), Bytes(16, 0x02));
  EXPECT_EQ(RegisterReads(rig.board(), 0x21, 3), 16u);
  EXPECT_EQ(rig.board().counters().eeprom_commands, 16u);
}

TEST_F(EepromTest, WordReadWaitsForTheDoneBit) {
  PhyRig rig(Board(2 * hw::kMillisecond));
  EXPECT_EQ(usbeth::ReadEepromWord(rig.a(), 1), 0x3322);
  // Polled every 500 us until the done bit showed, not the full 100 rounds.
  size_t polls = RegisterReads(rig.board(), 0x23, 2);
  EXPECT_GE(polls, 2u);
  EXPECT_LT(polls, 10u);
}

TEST_F(EepromTest, DoneBitThatNeverComesCostsOneHundredPollsThenReadsTheDataRegisters) {
  PhyRig rig(Board(hw::kNever));
  host::Nanoseconds start = rig.now();
  USHORT word = usbeth::ReadEepromWord(rig.a(), 2);
  EXPECT_EQ(RegisterReads(rig.board(), 0x23, 2), 100u);
  EXPECT_EQ(RegisterReads(rig.board(), 0x21, 3), 1u);
  EXPECT_GE(rig.now() - start, 50 * host::kMillisecond);
  Bytes data = rig.board().peek_registers(0x21, 2);
  EXPECT_EQ(word, data[0] | data[1] << 8);
}

}  // namespace
}  // namespace usbeth_test
