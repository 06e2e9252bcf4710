// The controller behind the vendor requests: EEPROM protocol, controller
// reset, MII management protocol and the PHY control pins.
#include <gtest/gtest.h>

#include "hw/ethernet.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

constexpr MacAddress kStation = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

BoardConfig WithStation() {
  BoardConfig config = boards::SingleEthernet();
  config.eeprom = EepromWithAddress(kStation);
  return config;
}

TEST(Eeprom, DriverSequenceReadsEveryWord) {
  Rig rig(WithStation());
  std::array<uint16_t, 16> expected = EepromWithAddress(kStation);
  for (uint8_t i = 0; i < 16; ++i) {
    int polls = 0;
    EXPECT_EQ(rig.ReadEepromWord(i, &polls), expected[i]) << "word " << int(i);
    EXPECT_EQ(polls, 1);
  }
  EXPECT_EQ(rig.board.counters().eeprom_commands, 16u);
  // Words 0..2 hold the station address low byte first, and the controller
  // loaded the same address at power-on.
  EXPECT_EQ(rig.ReadRegs(reg::kStationAddress, 6),
            std::vector<uint8_t>(kStation.begin(), kStation.end()));
}

TEST(Eeprom, DoneBitClearsAtCommandAndSetsAfterTheDelay) {
  BoardConfig config = WithStation();
  config.timing.eeprom_ns = 1200 * kMicrosecond;
  Rig rig(config);
  rig.WriteRegs(reg::kEepromIndex, {1, 0, 0, reg::kEepromRead});
  EXPECT_EQ(rig.ReadRegs(reg::kEepromControl, 1)[0] & reg::kEepromDone, 0);
  rig.Sleep(1199 * kMicrosecond);
  EXPECT_EQ(rig.ReadRegs(reg::kEepromControl, 1)[0] & reg::kEepromDone, 0);
  EXPECT_EQ(rig.ReadRegs(reg::kEepromDataLow, 2), (std::vector<uint8_t>{0, 0}));
  rig.Sleep(kMicrosecond);
  EXPECT_NE(rig.ReadRegs(reg::kEepromControl, 1)[0] & reg::kEepromDone, 0);
  EXPECT_EQ(rig.ReadRegs(reg::kEepromDataLow, 2), (std::vector<uint8_t>{0x22, 0x33}));
}

TEST(Eeprom, NeverDoneLeavesWhatTheDataRegistersHeld) {
  BoardConfig config = WithStation();
  config.timing.eeprom_ns = kNever;
  Rig rig(config);
  int polls = 0;
  EXPECT_EQ(rig.ReadEepromWord(0, &polls), 0x0000);
  EXPECT_EQ(polls, 100);
  rig.Sleep(10 * kSecond);
  EXPECT_EQ(rig.ReadRegs(reg::kEepromControl, 1)[0] & reg::kEepromDone, 0);
}

TEST(ControllerReset, ResetBitSelfClearsAndFlushesTheReceiveFifo) {
  BoardConfig config = WithStation();
  config.timing.mac_reset_ns = 400 * kMicrosecond;
  Rig rig(config);
  rig.Configure();
  rig.Enable();
  rig.Sleep(2 * kSecond);  // link up
  rig.board.send_from_partner(1, MakeFrame(kBroadcast, {2, 0, 0, 0, 0, 9}, 0x0800, {1, 2, 3}));
  ASSERT_EQ(rig.board.rx_fifo_frames(), 1u);

  // The driver's reset: 0x00..0x01 = 0, then 0x01..0x02 = 0x08, 0x00.
  rig.WriteRegs(reg::kRxCtl0, {0x00, 0x00});
  rig.WriteRegs(reg::kRxCtl1, {0x08, 0x00});
  EXPECT_EQ(rig.board.rx_fifo_frames(), 0u);
  EXPECT_EQ(rig.board.counters().rx_flushed, 1u);
  EXPECT_EQ(rig.ReadRegs(reg::kRxCtl1, 1)[0], 0x08);
  rig.Sleep(400 * kMicrosecond);
  EXPECT_EQ(rig.ReadRegs(reg::kRxCtl1, 1)[0], 0x00);
  // Reset leaves the station address and hash alone.
  EXPECT_EQ(rig.ReadRegs(reg::kStationAddress, 6),
            std::vector<uint8_t>(kStation.begin(), kStation.end()));
}

TEST(Mii, WriteAndReadWithTheDoneBit) {
  Rig rig(boards::EthernetAndHome());
  EXPECT_TRUE(rig.PhyWrite(1, mii::kAnar, 0x01E1 & ~mii::kAbility100Full));
  EXPECT_EQ(rig.board.peek_phy(1, mii::kAnar), 0x00E1);
  // The driver's command block: address, data low, data high, 0x20 | reg.
  std::vector<RegisterWrite> w = rig.board.register_writes();
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[3].reg, reg::kMiiControl);
  EXPECT_EQ(w[3].value, 0x24);

  bool done = false;
  EXPECT_EQ(rig.PhyRead(1, mii::kPhyId1, &done), 0x0040);
  EXPECT_TRUE(done);
  EXPECT_EQ(rig.PhyRead(1, mii::kPhyId2), 0x6214);  // revision 4 left in
  EXPECT_EQ(rig.PhyRead(3, mii::kPhyId2), 0x6B91);
  EXPECT_EQ(rig.PhyRead(2, mii::kBmsr), 0xFFFF);  // nobody at address 2
  EXPECT_EQ(rig.PhyRead(31, mii::kBmsr), 0xFFFF);
  EXPECT_EQ(rig.board.counters().mii_commands, 6u);
}

TEST(Mii, DoneBitAfterADelayOrNever) {
  BoardConfig config = boards::SingleEthernet();
  config.timing.mii_ns = 50 * kMicrosecond;
  Rig rig(config);
  bool done = true;
  uint16_t early = rig.PhyRead(1, mii::kPhyId1, &done);
  EXPECT_FALSE(done);
  EXPECT_NE(early, 0x0040);
  rig.Sleep(50 * kMicrosecond);
  std::vector<uint8_t> regs = rig.ReadRegs(reg::kMiiDataLow, 3);
  EXPECT_EQ(regs[0] | regs[1] << 8, 0x0040);
  EXPECT_NE(regs[2] & reg::kMiiDone, 0);

  config.timing.mii_ns = kNever;
  Rig stuck(config);
  EXPECT_FALSE(stuck.PhyWrite(1, mii::kAnar, 0x0021));
  stuck.Sleep(kSecond);
  EXPECT_EQ(stuck.ReadRegs(reg::kMiiControl, 1)[0] & reg::kMiiDone, 0);
  EXPECT_EQ(stuck.board.peek_phy(1, mii::kAnar), 0x01E1);  // never reached the PHY
}

TEST(Mii, SelectAddressLeavesTheAddressRegister) {
  Rig rig(boards::EthernetAndHome());
  // The select command: a read of register a at address a, never collected.
  rig.WriteRegs(reg::kMiiAddress, {3, 0, 0, 0x40 | 3});
  EXPECT_EQ(rig.board.peek_register(reg::kMiiAddress), 3);
}

TEST(PhyPins, ResetLineAndEthernetPowerDown) {
  Rig rig(boards::EthernetAndHome());
  rig.board.set_home_network(3, true);
  rig.Sleep(2 * kSecond);
  ASSERT_TRUE(rig.board.phy_state(1).link_up);
  ASSERT_TRUE(rig.board.phy_state(3).link_up);
  rig.PhyWrite(1, mii::kAnar, 0x0021);

  // Power-up sequence: 0x7E = 0x24 holds every PHY in reset.
  rig.WriteRegs(reg::kGpioPhyControl, {0x24, 0x06});
  EXPECT_EQ(rig.PhyRead(1, mii::kBmsr), 0xFFFF);
  EXPECT_EQ(rig.PhyRead(3, mii::kBmsr), 0xFFFF);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  rig.Sleep(5 * kMillisecond);
  rig.WriteRegs(reg::kGpioPhyControl, {0x26, 0x04});
  rig.Sleep(10 * kMillisecond);
  EXPECT_EQ(rig.PhyRead(1, mii::kAnar), 0x01E1);  // back at its default
  EXPECT_EQ(rig.PhyRead(3, mii::kPhyId1), 0x0000);
  rig.Sleep(2 * kSecond);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);

  // Power-down pair 0x30, 0x00: the Ethernet PHY loses its link, the home
  // PHY does not, and both still answer.
  rig.WriteRegs(reg::kGpioPhyControl, {0x30, 0x00});
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  EXPECT_TRUE(rig.board.phy_state(3).link_up);
  EXPECT_EQ(rig.PhyRead(1, mii::kPhyId1), 0x0040);
  // The link patterns and GPIO pairs the driver writes otherwise keep both up.
  rig.WriteRegs(reg::kGpioFirst, {0x34, 0x00, 0x26, 0x30});
  rig.Sleep(2 * kSecond);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);
  rig.WriteRegs(reg::kGpioPhyControl, {0x36, 0x04});
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  rig.WriteRegs(reg::kGpioPhyControl, {0x06, 0x04});
  rig.Sleep(2 * kSecond);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);
}

}  // namespace
}  // namespace hw
