// PHY discovery and selection at bring-up, on the boards the adapter family
// ships with and on a few it does not.

#include <gtest/gtest.h>

#include "phy_rig.h"

namespace usbeth_test {
namespace {

constexpr uint16_t kIsolate = 0x0C00;

// Links settle within the power-up sequence, so selection sees them.
hw::BoardConfig Quick(hw::BoardConfig config) {
  config.timing.autoneg_ns = 1 * hw::kMillisecond;
  config.timing.home_link_ns = 1 * hw::kMillisecond;
  return config;
}

class SelectionTest : public ::testing::Test {
 protected:
  void Start(hw::BoardConfig board, ULONG media_type = 0) {
    rig_.reset();  // one host kernel at a time
    rig_ = std::make_unique<PhyRig>(Quick(std::move(board)));
    a()->MediaType = media_type;
  }
  ULONG PowerUp() { return usbeth::PowerUpPhys(a()); }
  usbeth::Adapter* a() { return rig_->a(); }
  hw::Board& board() { return rig_->board(); }
  // The scan only reads, so every MII write is one of selection.
  std::vector<MiiCommand> WritesAfterScan() { return MiiWrites(board()); }
  // Status reads of a PHY by selection: after the scan (whose last address
  // is 9 on these boards) and before the final selection of the active PHY.
  size_t ProbesOf(uint8_t phy) {
    std::vector<MiiCommand> cmds = MiiCommands(board());
    size_t scan_end = 0;
    for (size_t i = 0; i < cmds.size(); ++i) {
      if (cmds[i].phy == 9) scan_end = i + 1;
    }
    size_t n = 0;
    for (size_t i = scan_end; i + 1 < cmds.size(); ++i)
      n += cmds[i] == MiiRead(phy, 1);
    return n;
  }
  std::unique_ptr<PhyRig> rig_;
};

TEST_F(SelectionTest, SingleEthernetPhyIsUsedWithoutProbeOrIsolation) {
  Start(hw::boards::SingleEthernet());
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->PhyCount, 1);
  EXPECT_EQ(a()->PhyIdTable[0], usbeth::kPhyEthernet1);  // revision nibble cleared
  EXPECT_EQ(a()->PhyAddressTable[0], 1);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_EQ(a()->ActivePhyAddress, 1);
  EXPECT_EQ(a()->PhySelection, 2);
  EXPECT_EQ(a()->HomePhyIndex, usbeth::kNoPhyIndex);
  EXPECT_EQ(ProbesOf(1), 0u);
  EXPECT_TRUE(WritesAfterScan().empty());
  // The scan probed addresses 0..9, each selected first; the last command
  // selects the chosen PHY.
  std::vector<MiiCommand> cmds = MiiCommands(board());
  for (uint8_t address = 0; address < 10; ++address) {
    EXPECT_GE(MiiReadsOf(board(), address, address), 1u) << int(address);
  }
  EXPECT_EQ(cmds.back(), MiiRead(1, 1));
}

TEST_F(SelectionTest, EthernetWithLinkWinsAndTheHomePhyIsIsolated) {
  Start(hw::boards::EthernetAndHome());
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->PhyCount, 2);
  EXPECT_EQ(a()->EthernetPhyIndex, 0);
  EXPECT_EQ(a()->HomePhyIndex, 1);
  EXPECT_EQ(a()->ActivePhyAddress, 1);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyEthernet1);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(3, 0, kIsolate)});
  EXPECT_TRUE(board().phy_state(3).isolated);
  // Both links probed, the home PHY first.
  std::vector<MiiCommand> cmds = MiiCommands(board());
  size_t first_home = 0, first_ethernet = 0;
  size_t scan_end = 0;
  for (size_t i = 0; i < cmds.size(); ++i) {
    if (cmds[i].phy == 9) scan_end = i;
  }
  for (size_t i = cmds.size(); i-- > scan_end;) {
    if (cmds[i] == MiiRead(3, 1)) first_home = i;
    if (cmds[i] == MiiRead(1, 1)) first_ethernet = i;
  }
  EXPECT_GT(first_home, scan_end);
  EXPECT_LT(first_home, first_ethernet);
}

TEST_F(SelectionTest, HomeLinkWinsWhenTheEthernetCableIsOut) {
  hw::BoardConfig config = hw::boards::EthernetAndHome();
  config.phys[0].partner.plugged = false;
  config.phys[1].partner.home_network = true;
  Start(config);
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kHomePhyInUse);
  EXPECT_EQ(a()->ActivePhyAddress, 3);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyHomeA);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(1, 0, kIsolate)});
  EXPECT_EQ(ProbesOf(1), 2u);  // a link found down is read twice
}

TEST_F(SelectionTest, NoLinkOnEitherChoosesNothingAndWritesNoPhy) {
  hw::BoardConfig config = hw::boards::EthernetAndHome();
  config.phys[0].partner.plugged = false;
  Start(config);
  EXPECT_EQ(PowerUp(), usbeth::kFailed);
  EXPECT_EQ(a()->PhySelection, 0);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_EQ(a()->ActivePhyAddress, 1);
  EXPECT_TRUE(WritesAfterScan().empty());
  EXPECT_EQ(ProbesOf(1), 2u);
  EXPECT_EQ(ProbesOf(3), 2u);
}

TEST_F(SelectionTest, ForcedMediaChoosesByKindWhateverTheLinks) {
  for (ULONG media : {1u, 3u, 4u, 9u}) {
    hw::BoardConfig config = hw::boards::EthernetAndHome();
    config.phys[0].partner.plugged = false;
    config.phys[1].partner.home_network = true;
    Start(config, media);
    EXPECT_EQ(PowerUp(), usbeth::kOk);
    EXPECT_EQ(a()->ActivePhyAddress, 1) << media;
    EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
    EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(3, 0, kIsolate)});
  }
  Start(hw::boards::EthernetAndHome(), 5);
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->ActivePhyAddress, 3);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kHomePhyInUse);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(1, 0, kIsolate)});
  // Both links are still probed before the media type decides.
  EXPECT_GE(ProbesOf(1), 1u);
  EXPECT_GE(ProbesOf(3), 1u);
}

TEST_F(SelectionTest, PairedPhyIsIsolatedAndTheHomePhyUsedWithoutProbe) {
  Start(hw::boards::HomeWithIsolated());
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kHomePhyInUse);
  EXPECT_EQ(a()->ActivePhyAddress, 3);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(1, 0, kIsolate)});
  EXPECT_EQ(ProbesOf(1), 0u);
  EXPECT_EQ(ProbesOf(3), 0u);
}

TEST_F(SelectionTest, PairedPhyAloneIsUsedAsAnUnrecognisedPhy) {
  Start(BoardWith({PhyAt(2, usbeth::kPhyPaired)}));
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kSingleUnknownPhy);
  EXPECT_EQ(a()->ActivePhyAddress, 2);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyPaired);
  EXPECT_TRUE(WritesAfterScan().empty());
}

TEST_F(SelectionTest, WithBothHomeKindsTheFirstListedKindWins) {
  Start(BoardWith({PhyAt(1, usbeth::kPhyHomeB, true), PhyAt(2, usbeth::kPhyHomeA, true)}));
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyIndex, 1);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyHomeA);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kHomePhyInUse);
}

TEST_F(SelectionTest, FifthPhyIsProbedLikeEveryAddressButNeverRecorded) {
  Start(hw::boards::FivePhys());
  a()->HomePhyMode = 0xA5A5A5A5;  // the field right after the tables
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->PhyCount, 4);
  EXPECT_EQ(a()->PhyAddressTable[3], 6);
  EXPECT_EQ(a()->PhyIdTable[3], usbeth::kPhyHomeA);
  // The scan goes on to address 9 once the tables are full: the fifth PHY
  // (at 8) answers and is identified, address 9 is probed; neither is
  // recorded or written.
  std::vector<MiiCommand> past_the_tables;
  for (const MiiCommand& c : MiiCommands(board())) {
    if (c.phy >= 8) past_the_tables.push_back(c);
  }
  EXPECT_EQ(past_the_tables,
            (std::vector<MiiCommand>{MiiRead(8, 8), MiiRead(8, 1), MiiRead(8, 2), MiiRead(8, 3),
                                     MiiRead(9, 9), MiiRead(9, 1)}));
  // Ethernet 0x00437410 at 0 has its link: it is used, the home PHY isolated.
  EXPECT_EQ(a()->EthernetPhyIndex, 0);
  EXPECT_EQ(a()->HomePhyIndex, 3);
  EXPECT_EQ(a()->ActivePhyAddress, 0);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(6, 0, kIsolate)});
}

TEST_F(SelectionTest, NoPhyAtAllLeavesTheAssumedEthernetPhyAtAddressZero) {
  Start(hw::boards::NoPhy());
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->PhyCount, 0);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyEthernet1);
  EXPECT_EQ(a()->ActivePhyAddress, 0);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kNoPhy);
  EXPECT_EQ(a()->PhySelection, 0);
  EXPECT_EQ(MiiCommands(board()).back(), MiiRead(0, 0));
  EXPECT_TRUE(WritesAfterScan().empty());
}

// Boards with several PHYs but not one of each kind follow the single-PHY
// rule and never index a table with 255.
TEST_F(SelectionTest, EthernetBesideThePairedPhyIsUsedWithoutProbe) {
  Start(BoardWith({PhyAt(1, usbeth::kPhyPaired), PhyAt(4, usbeth::kPhyEthernet3)}));
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyIndex, usbeth::kNoPhyIndex);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_EQ(a()->ActivePhyAddress, 4);
  EXPECT_EQ(a()->ActivePhyId, usbeth::kPhyEthernet3);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(1, 0, kIsolate)});
  EXPECT_EQ(ProbesOf(4), 0u);
}

TEST_F(SelectionTest, UnrecognisedPhysUseTheFirstOneNotIsolated) {
  Start(BoardWith({PhyAt(0, usbeth::kPhyPaired), PhyAt(5, 0x01234560), PhyAt(7, 0x0ABCDE00)}));
  EXPECT_EQ(PowerUp(), usbeth::kOk);
  EXPECT_EQ(a()->HomePhyIndex, usbeth::kNoPhyIndex);
  EXPECT_EQ(a()->EthernetPhyIndex, usbeth::kNoPhyIndex);
  EXPECT_EQ(a()->HomePhyMode, usbeth::kSingleUnknownPhy);
  EXPECT_EQ(a()->ActivePhyAddress, 5);
  EXPECT_EQ(a()->ActivePhyId, 0x01234560u);
  EXPECT_EQ(WritesAfterScan(), std::vector<MiiCommand>{MiiWrite(0, 0, kIsolate)});
}

class ProbeTest : public ::testing::Test {
 protected:
  ProbeTest() : rig_(Quick(hw::boards::SingleEthernet())) { rig_.RunFor(100 * host::kMillisecond); }
  ULONG Probe() {
    rig_.board().clear_logs();
    return usbeth::ProbeLinkState(rig_.a(), 1);
  }
  size_t StatusReads() { return MiiReadsOf(rig_.board(), 1, 1); }
  PhyRig rig_;
};

TEST_F(ProbeTest, LinkShownAtOnceTakesOneRead) {
  Probe();  // clears the latch of the power-on link
  EXPECT_EQ(Probe(), usbeth::kLinkUp);
  EXPECT_EQ(StatusReads(), 1u);
}

TEST_F(ProbeTest, LatchedLowLinkIsFoundUpOnTheSecondRead) {
  Probe();
  rig_.board().plug(1, false);
  rig_.RunFor(10 * host::kMillisecond);
  rig_.board().plug(1, true);
  rig_.RunFor(100 * host::kMillisecond);
  EXPECT_EQ(Probe(), usbeth::kLinkUp);
  EXPECT_EQ(StatusReads(), 2u);
}

TEST_F(ProbeTest, NoLinkIsReportedAfterExactlyTwoReads) {
  rig_.board().plug(1, false);
  rig_.RunFor(10 * host::kMillisecond);
  EXPECT_EQ(Probe(), usbeth::kLinkDown);
  EXPECT_EQ(StatusReads(), 2u);
}

}  // namespace
}  // namespace usbeth_test
