// The PHYs as the driver's MII accesses find them: latched link bit, reset,
// auto-negotiation against the link partner, forced modes, isolate and
// power-down, home-network PHYs and their vendor registers.
#include <gtest/gtest.h>

#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

constexpr uint64_t kAutoneg = 1500 * kMillisecond;

bool LinkBit(Rig& rig, uint8_t address) {
  return (rig.PhyRead(address, mii::kBmsr) & mii::kBmsrLink) != 0;
}

TEST(PhyLink, LinkBitIsLatchedLowUntilRead) {
  Rig rig(boards::SingleEthernet());
  rig.Sleep(kAutoneg);
  ASSERT_TRUE(rig.board.phy_state(1).link_up);
  EXPECT_FALSE(LinkBit(rig, 1));  // first read: the drop at power-on
  EXPECT_TRUE(LinkBit(rig, 1));   // second read: as it is

  // A short outage while nobody looks is still seen once.
  rig.board.plug(1, false);
  rig.board.plug(1, true);
  rig.Sleep(kAutoneg);
  ASSERT_TRUE(rig.board.phy_state(1).link_up);
  EXPECT_FALSE(LinkBit(rig, 1));
  EXPECT_TRUE(LinkBit(rig, 1));
  EXPECT_TRUE(LinkBit(rig, 1));
}

TEST(PhyLink, ResetBitSelfClearsAndWritesDuringResetAreLost) {
  BoardConfig config = boards::SingleEthernet();
  config.timing.phy_reset_ns = 2 * kMillisecond;
  Rig rig(config);
  rig.PhyWrite(1, mii::kAnar, 0x0021);
  rig.PhyWrite(1, mii::kBmcr, mii::kBmcrReset);
  EXPECT_EQ(rig.PhyRead(1, mii::kBmcr), 0xB100);
  rig.PhyWrite(1, mii::kAnar, 0x0041);  // ignored: still in reset
  EXPECT_EQ(rig.board.phy_state(1).writes_ignored_in_reset, 1u);
  rig.Sleep(2 * kMillisecond);
  EXPECT_EQ(rig.PhyRead(1, mii::kBmcr), 0x3100);
  EXPECT_EQ(rig.PhyRead(1, mii::kAnar), 0x01E1);  // defaults after reset
}

TEST(PhyLink, AutonegotiationResolvesAgainstThePartner) {
  struct Case {
    uint16_t ours;
    uint16_t partner;
    int speed;
    bool full;
  };
  const Case cases[] = {
      {0x01E1, 0x01E0, 100, true}, {0x01E1, 0x00A0, 100, false}, {0x01E1, 0x0060, 10, true},
      {0x01E1, 0x0020, 10, false}, {0x0021, 0x01E0, 10, false},  {0x0101, 0x01E0, 100, true},
  };
  for (const Case& c : cases) {
    BoardConfig config = boards::SingleEthernet();
    config.phys[0].partner.abilities = c.partner;
    Rig rig(config);
    rig.PhyWrite(1, mii::kAnar, c.ours);
    rig.PhyWrite(1, mii::kBmcr, 0x1200);
    rig.Sleep(kAutoneg - 1);
    EXPECT_EQ(rig.PhyRead(1, mii::kBmsr) & (mii::kBmsrAnComplete | mii::kBmsrLink), 0);
    rig.Sleep(1);
    uint16_t bmsr = rig.PhyRead(1, mii::kBmsr);
    EXPECT_TRUE(bmsr & mii::kBmsrAnComplete);
    EXPECT_EQ(rig.PhyRead(1, mii::kAnlpar), c.partner | 0x4001);
    PhyState s = rig.board.phy_state(1);
    EXPECT_EQ(s.speed_mbps, c.speed) << std::hex << c.ours << " " << c.partner;
    EXPECT_EQ(s.full_duplex, c.full) << std::hex << c.ours << " " << c.partner;
  }
}

TEST(PhyLink, NoCommonAbilityOrNoCableMeansNoLink) {
  BoardConfig config = boards::SingleEthernet();
  config.phys[0].partner.abilities = 0x0100;
  Rig rig(config);
  rig.PhyWrite(1, mii::kAnar, 0x0061);
  rig.PhyWrite(1, mii::kBmcr, 0x1200);
  rig.Sleep(10 * kSecond);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  EXPECT_EQ(rig.PhyRead(1, mii::kBmsr) & mii::kBmsrAnComplete, 0);

  rig.board.plug(1, false, rig.now + kSecond);
  rig.board.set_partner_abilities(1, 0x01E0, true, rig.now + 2 * kSecond);
  rig.Sleep(2 * kSecond + kAutoneg);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);  // still unplugged
  rig.board.plug(1, true, rig.now + kSecond);
  rig.Sleep(kSecond + kAutoneg);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);
  EXPECT_EQ(rig.board.phy_state(1).speed_mbps, 10);  // our advertisement: 10 only
}

TEST(PhyLink, ParallelDetectionOfAPartnerThatDoesNotNegotiate) {
  BoardConfig config = boards::SingleEthernet();
  config.phys[0].partner.autoneg = false;
  config.phys[0].partner.abilities = mii::kAbility100Full;
  Rig rig(config);
  rig.Sleep(kAutoneg);
  PhyState s = rig.board.phy_state(1);
  EXPECT_TRUE(s.link_up);
  EXPECT_EQ(s.speed_mbps, 100);
  EXPECT_FALSE(s.full_duplex);
  EXPECT_TRUE(s.duplex_mismatch);
  EXPECT_EQ(rig.PhyRead(1, mii::kAnlpar), mii::kAbility100Half);
  EXPECT_EQ(rig.PhyRead(1, mii::kAner) & 1, 0);  // partner not negotiation-able
}

TEST(PhyLink, ForcedModes) {
  BoardConfig config = boards::SingleEthernet();
  config.timing.forced_link_ns = 20 * kMillisecond;
  Rig rig(config);
  rig.Sleep(kAutoneg);
  // Forcing 100 full against a negotiating partner: link at once after the
  // forced-link time, full duplex on our side only.
  rig.PhyWrite(1, mii::kBmcr, 0x2100);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  rig.Sleep(20 * kMillisecond);
  PhyState s = rig.board.phy_state(1);
  EXPECT_TRUE(s.link_up);
  EXPECT_EQ(s.speed_mbps, 100);
  EXPECT_TRUE(s.full_duplex);
  EXPECT_TRUE(s.duplex_mismatch);
  EXPECT_EQ(rig.PhyRead(1, mii::kBmsr) & mii::kBmsrAnComplete, 0);
  // Rewriting the same mode does not disturb the link.
  LinkBit(rig, 1);
  rig.PhyWrite(1, mii::kBmcr, 0x2100);
  EXPECT_TRUE(LinkBit(rig, 1));

  // Forced 10 against a partner fixed at 100: no link.
  rig.board.set_partner_abilities(1, mii::kAbility100Half, false);
  rig.PhyWrite(1, mii::kBmcr, 0x0000);
  rig.Sleep(kSecond);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);
  // Forced 100 half against it: link, duplexes agree.
  rig.PhyWrite(1, mii::kBmcr, 0x2000);
  rig.Sleep(20 * kMillisecond);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);
  EXPECT_FALSE(rig.board.phy_state(1).duplex_mismatch);
}

TEST(PhyLink, PowerDownAndIsolate) {
  Rig rig(boards::SingleEthernet());
  rig.Sleep(kAutoneg);
  rig.PhyWrite(1, mii::kBmcr, 0x0C00);
  PhyState s = rig.board.phy_state(1);
  EXPECT_FALSE(s.link_up);
  EXPECT_TRUE(s.powered_down);
  EXPECT_TRUE(s.isolated);
  EXPECT_EQ(rig.PhyRead(1, mii::kPhyId1), 0x0040);  // management still answers
  rig.Sleep(10 * kSecond);
  EXPECT_FALSE(rig.board.phy_state(1).link_up);

  // Isolate alone: the line keeps its link, the data path is cut.
  rig.PhyWrite(1, mii::kBmcr, 0x1200 | mii::kBmcrIsolate);
  rig.Sleep(kAutoneg);
  s = rig.board.phy_state(1);
  EXPECT_TRUE(s.link_up);
  EXPECT_FALSE(s.carries_traffic);
  // Restarting clears both bits, as the driver's restart value does.
  rig.PhyWrite(1, mii::kBmcr, 0x1200);
  rig.Sleep(kAutoneg);
  EXPECT_TRUE(rig.board.phy_state(1).carries_traffic);
}

TEST(HomePhy, LinksWithoutAutonegotiationWhenANetworkIsPresent) {
  for (uint32_t id : {phyid::kHomeA, phyid::kHomeB}) {
    BoardConfig config = boards::SingleHome(id);
    config.phys[0].partner.home_network = false;
    Rig rig(config);
    rig.Sleep(kSecond);
    EXPECT_FALSE(rig.board.phy_state(1).link_up);
    EXPECT_NE(rig.PhyRead(1, mii::kBmsr), 0x0000);  // present on the scan
    rig.board.set_home_network(1, true, rig.now + kSecond);
    rig.Sleep(kSecond + 200 * kMillisecond);
    PhyState s = rig.board.phy_state(1);
    EXPECT_TRUE(s.link_up);
    EXPECT_EQ(s.speed_mbps, 1);
    LinkBit(rig, 1);
    uint16_t bmsr = rig.PhyRead(1, mii::kBmsr);
    EXPECT_TRUE(bmsr & mii::kBmsrLink);
    EXPECT_FALSE(bmsr & mii::kBmsrAnComplete);
    // The restart value changes nothing for a PHY without negotiation.
    rig.PhyWrite(1, mii::kBmcr, 0x2000);
    EXPECT_TRUE(LinkBit(rig, 1));
  }
}

TEST(HomePhy, VendorRegistersAreKept) {
  Rig a(boards::SingleHome(phyid::kHomeA));
  uint16_t mode = a.PhyRead(1, 16);
  EXPECT_EQ(mode, 0x0305);
  a.PhyWrite(1, 16, (mode & 0xF0FF) | 0x0900);
  EXPECT_EQ(a.PhyRead(1, 16), 0x0905);

  // The second kind banks registers behind register 31: the driver's mode
  // writes land in page 1 and leave page 0 alone.
  Rig b(boards::SingleHome(phyid::kHomeB));
  b.PhyWrite(1, 25, 0x7F05);
  b.PhyWrite(1, 31, 0x0001);
  b.PhyWrite(1, 7, 0x0008);
  b.PhyWrite(1, 6, 0x0038);
  b.PhyWrite(1, 31, 0x0000);
  EXPECT_EQ(b.PhyRead(1, 25), 0x7F05);
  EXPECT_EQ(b.PhyRead(1, 6), 0x0000);
  EXPECT_EQ(b.board.peek_phy_page(1, 1, 6), 0x0038);
  EXPECT_EQ(b.board.peek_phy_page(1, 1, 7), 0x0008);
  EXPECT_EQ(b.PhyRead(1, mii::kPhyId1), 0x2000);
}

TEST(Boards, ReadyMadeBoardsScanAsDescribed) {
  struct Case {
    BoardConfig config;
    std::vector<uint8_t> addresses;
  };
  const Case cases[] = {
      {boards::SingleEthernet(), {1}},       {boards::EthernetAndHome(), {1, 3}},
      {boards::HomeWithIsolated(), {1, 3}},  {boards::SingleHome(phyid::kHomeB), {1}},
      {boards::FivePhys(), {0, 2, 4, 6, 8}}, {boards::NoPhy(), {}},
  };
  for (const Case& c : cases) {
    Rig rig(c.config);
    std::vector<uint8_t> found;
    for (uint8_t a = 0; a < 10; ++a) {
      uint16_t bmsr = rig.PhyRead(a, mii::kBmsr);
      if (bmsr != 0xFFFF && bmsr != 0x0000) found.push_back(a);
    }
    EXPECT_EQ(found, c.addresses) << c.config.name;
  }
}

}  // namespace
}  // namespace hw
