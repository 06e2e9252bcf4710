// Media setup at a controller start: what the active PHY and the controller
// receive for each MediaType and each PHY kind, and how long it takes.

#include <gtest/gtest.h>

#include <chrono>

#include "phy_rig.h"

namespace usbeth_test {
namespace {

using Bytes = std::vector<uint8_t>;

// Index of the first command equal to `c` at or after `from`; npos if none.
size_t Find(const std::vector<MiiCommand>& cmds, const MiiCommand& c, size_t from = 0) {
  for (size_t i = from; i < cmds.size(); ++i) {
    if (cmds[i] == c) return i;
  }
  return std::string::npos;
}

size_t CountBetween(const std::vector<MiiCommand>& cmds, const MiiCommand& c, size_t from,
                    size_t to) {
  size_t n = 0;
  for (size_t i = from; i < to && i < cmds.size(); ++i)
    n += cmds[i] == c;
  return n;
}

class MediaSetupTest : public ::testing::Test {
 protected:
  void Start(hw::BoardConfig board, ULONG media_type, ULONG home_lan = 0) {
    rig_ = std::make_unique<PhyRig>(std::move(board));
    rig_->a()->HomeLanMode = home_lan;
    rig_->PowerUp(media_type);
  }
  ULONG RunSetup() {
    start_ = rig_->now();
    return usbeth::SetupMedia(a());
  }
  usbeth::Adapter* a() { return rig_->a(); }
  hw::Board& board() { return rig_->board(); }
  std::vector<MiiCommand> Cmds() { return MiiCommands(board()); }
  std::unique_ptr<PhyRig> rig_;
  host::Nanoseconds start_ = 0;
};

// A PHY whose reset does not end within the bound is polled exactly 100
// times before media setup goes on.
TEST_F(MediaSetupTest, ResetThatDoesNotEndIsPolledAHundredTimes) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.timing.phy_reset_ns = 60 * host::kSecond;
  Start(config, 0);
  board().clear_logs();
  RunSetup();
  std::vector<MiiCommand> cmds = Cmds();
  size_t reset = Find(cmds, MiiWrite(1, 0, 0x8000));
  size_t advertise = Find(cmds, MiiWrite(1, 4, 0x01E1), reset);
  ASSERT_NE(advertise, std::string::npos);
  EXPECT_EQ(CountBetween(cmds, MiiRead(1, 0), reset, advertise), 100u);
}

struct ForcedCase {
  ULONG media;
  uint16_t advertisement;
  uint16_t control;
  ULONG speed;
  ULONG duplex;
};

class ForcedMediaTest : public MediaSetupTest, public ::testing::WithParamInterface<ForcedCase> {};

TEST_P(ForcedMediaTest, NegotiatesOnlyTheForcedModeThenFixesIt) {
  const ForcedCase& c = GetParam();
  Start(hw::boards::SingleEthernet(), c.media);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  EXPECT_EQ(MiiWrites(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 0, 0x8000), MiiWrite(1, 4, c.advertisement),
                                     MiiWrite(1, 0, 0x1200), MiiWrite(1, 0, c.control),
                                     MiiWrite(1, 27, 0x0044)}));
  EXPECT_EQ(a()->LinkSpeed, c.speed);
  EXPECT_EQ(a()->LinkDuplex, c.duplex);
  EXPECT_EQ(MiiReadsOf(board(), 1, 5), 0u);
  // The status register was polled until the negotiation completed (the
  // partner negotiates: 1.5 s on this board), 30 ms apart.
  std::vector<MiiCommand> cmds = Cmds();
  size_t restart = Find(cmds, MiiWrite(1, 0, 0x1200));
  size_t fixed = Find(cmds, MiiWrite(1, 0, c.control), restart + 1);
  ASSERT_NE(fixed, std::string::npos);
  host::Nanoseconds waited = cmds[fixed].at - cmds[restart].at;
  EXPECT_GE(waited, 1500 * host::kMillisecond);
  EXPECT_LT(waited, 1600 * host::kMillisecond);
  EXPECT_GE(CountBetween(cmds, MiiRead(1, 1), restart, fixed), 45u);
  EXPECT_EQ(a()->LinkState, a()->HandledLinkState);
}

INSTANTIATE_TEST_SUITE_P(EachEthernetMode, ForcedMediaTest,
                         ::testing::Values(ForcedCase{1, 0x0021, 0x0000, 1, 1},
                                           ForcedCase{2, 0x0041, 0x0100, 1, 2},
                                           ForcedCase{3, 0x0081, 0x2000, 2, 1},
                                           ForcedCase{4, 0x0101, 0x2100, 2, 2}));

TEST_F(MediaSetupTest, HomeNetworkMediaReadsStatusOnceAndWaitsThirtyMilliseconds) {
  Start(hw::boards::SingleHome(usbeth::kPhyHomeA), 5);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  std::vector<MiiCommand> cmds = Cmds();
  size_t restart = Find(cmds, MiiWrite(1, 0, 0x1200));
  size_t fixed = Find(cmds, MiiWrite(1, 0, 0x0000), restart + 1);
  ASSERT_NE(fixed, std::string::npos);
  EXPECT_EQ(CountBetween(cmds, MiiRead(1, 1), restart, fixed), 1u);
  EXPECT_GE(cmds[fixed].at - cmds[restart].at, 30 * host::kMillisecond);
  EXPECT_LT(cmds[fixed].at - cmds[restart].at, 40 * host::kMillisecond);
  EXPECT_EQ(Find(cmds, MiiWrite(1, 4, 0x0021)), restart - 1);
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeedHome);
  EXPECT_EQ(a()->LinkDuplex, usbeth::kDuplexHalf);
}

struct PartnerCase {
  uint16_t abilities;
  ULONG speed;
  ULONG duplex;
};

class AutoNegotiationTest : public MediaSetupTest,
                            public ::testing::WithParamInterface<PartnerCase> {};

TEST_P(AutoNegotiationTest, PartnerAbilitiesAloneDecideSpeedAndDuplex) {
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.phys[0].partner.abilities = GetParam().abilities;
  Start(config, 0);
  auto real_start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  auto real = std::chrono::steady_clock::now() - real_start;

  EXPECT_EQ(MiiWrites(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 0, 0x8000), MiiWrite(1, 4, 0x01E1),
                                     MiiWrite(1, 0, 0x1200), MiiWrite(1, 27, 0x0044)}));
  EXPECT_EQ(MiiReadsOf(board(), 1, 5), 1u);
  EXPECT_EQ(a()->LinkSpeed, GetParam().speed);
  EXPECT_EQ(a()->LinkDuplex, GetParam().duplex);
  EXPECT_EQ(a()->LinkState, usbeth::kLinkUp);
  EXPECT_EQ(a()->HandledLinkState, usbeth::kLinkUp);
  // Reset polled at 30 ms, 100 ms of settling, then completion after the
  // partner's 1.5 s: seconds of virtual time, a moment of real time.
  host::Nanoseconds took = rig_->now() - start_;
  EXPECT_GE(took, 1500 * host::kMillisecond);
  EXPECT_LT(took, 1700 * host::kMillisecond);
  EXPECT_LT(real, std::chrono::seconds(2));
  std::vector<MiiCommand> cmds = Cmds();
  size_t reset = Find(cmds, MiiWrite(1, 0, 0x8000));
  size_t reset_poll = Find(cmds, MiiRead(1, 0), reset);
  EXPECT_GE(cmds[reset_poll].at - cmds[reset].at, 30 * host::kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Partners, AutoNegotiationTest,
                         ::testing::Values(PartnerCase{0x01E0, 2, 2}, PartnerCase{0x00A0, 2, 1},
                                           PartnerCase{0x0060, 1, 2}, PartnerCase{0x0020, 1, 1}));

TEST_F(MediaSetupTest, HomePhyAutoMediaSkipsTheCompletionWait) {
  Start(hw::boards::SingleHome(usbeth::kPhyHomeA), 0, 17);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  std::vector<MiiCommand> cmds = Cmds();
  size_t restart = Find(cmds, MiiWrite(1, 0, 0x1200));
  size_t partner = Find(cmds, MiiRead(1, 5), restart);
  ASSERT_NE(partner, std::string::npos);
  EXPECT_EQ(CountBetween(cmds, MiiRead(1, 1), restart, partner), 0u);
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeedHome);
  EXPECT_EQ(a()->LinkDuplex, usbeth::kDuplexHalf);
  EXPECT_EQ(a()->KeepAliveEnabled, 0);
  // Kind settings: the controller block for the link found, then the mode nibble.
  Bytes block = {static_cast<uint8_t>(a()->LinkState == usbeth::kLinkUp ? 0x26 : 0x36),
                 0x00,
                 0x26,
                 0x34,
                 0x00,
                 0x06};
  EXPECT_EQ(BlockWrites(board(), 0x7C), std::vector<Bytes>{block});
  EXPECT_EQ(board().peek_phy(1, 16) & 0x0F00, 0x0A00);
}

TEST_F(MediaSetupTest, SecondHomeKindRunsAtItsOwnControlWordAndSendsKeepAlives) {
  Start(hw::boards::SingleHome(usbeth::kPhyHomeB), 0, 18);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  EXPECT_EQ(MiiWrites(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 0, 0x8000), MiiWrite(1, 4, 0x01E1),
                                     MiiWrite(1, 0, 0x2000), MiiWrite(1, 25, 0x7F05),
                                     MiiWrite(1, 0, 0x2000), MiiWrite(1, 25, 0x7F02),
                                     MiiWrite(1, 31, 0x0001), MiiWrite(1, 7, 0x0008),
                                     MiiWrite(1, 6, 0x0038), MiiWrite(1, 31, 0x0000)}));
  EXPECT_EQ(a()->KeepAliveEnabled, 1);
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeedHome);
}

TEST_F(MediaSetupTest, UnrecognisedSinglePhyTakesThePartnerWordRightAfterTheRestart) {
  Start(hw::boards::SingleEthernet(0x01234560), 0);
  ASSERT_EQ(a()->HomePhyMode, usbeth::kSingleUnknownPhy);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  std::vector<MiiCommand> cmds = Cmds();
  size_t restart = Find(cmds, MiiWrite(1, 0, 0x1200));
  size_t partner = Find(cmds, MiiRead(1, 5), restart);
  ASSERT_NE(partner, std::string::npos);
  EXPECT_EQ(partner, restart + 1);
  EXPECT_LT(cmds[partner].at - cmds[restart].at, 5 * host::kMillisecond);
  // Negotiation has not finished: no partner abilities yet, 10 Mb/s half.
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeed10);
  EXPECT_EQ(a()->LinkDuplex, usbeth::kDuplexHalf);
}

TEST_F(MediaSetupTest, NoSelectionMeansNoPhyAccess) {
  Start(hw::boards::SingleEthernet(), 0);
  a()->PhySelection = 0;
  a()->LinkSpeed = 2;
  a()->LinkDuplex = 2;
  EXPECT_EQ(RunSetup(), usbeth::kFailed);
  EXPECT_TRUE(Cmds().empty());
  EXPECT_EQ(a()->LinkSpeed, 0u);
  EXPECT_EQ(a()->LinkDuplex, 0u);
}

TEST_F(MediaSetupTest, MediaTypeWithoutAModeIsAutomaticAndWritesNoUndefinedWord) {
  Start(hw::boards::SingleEthernet(), 7);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  EXPECT_EQ(MiiWrites(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 0, 0x8000), MiiWrite(1, 4, 0x01E1),
                                     MiiWrite(1, 0, 0x1200), MiiWrite(1, 27, 0x0044)}));
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeed100);
  EXPECT_EQ(a()->LinkDuplex, usbeth::kDuplexFull);

  // The lookup itself hands a caller the auto-negotiation pair and leaves
  // speed and duplex alone.
  USHORT control = 0xDEAD, advertisement = 0xBEEF;
  usbeth::LookupForcedMedia(a(), &control, &advertisement);
  EXPECT_EQ(control, 0x1200);
  EXPECT_EQ(advertisement, 0x01E0);
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeed100);
}

TEST_F(MediaSetupTest, MediaTypeAboveFiveOnTheHomePhyIsTheHomeNetworkMode) {
  Start(hw::boards::SingleHome(usbeth::kPhyHomeA), 9, 16);
  EXPECT_EQ(RunSetup(), usbeth::kOk);
  std::vector<MiiCommand> writes = MiiWrites(board());
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(writes[1], MiiWrite(1, 4, 0x0021));
  EXPECT_EQ(writes[3], MiiWrite(1, 0, 0x0000));
  EXPECT_EQ(a()->LinkSpeed, usbeth::kSpeedHome);
  // HomeLan 16: the mode register is read and left as it is.
  EXPECT_EQ(MiiReadsOf(board(), 1, 16), 1u);
  for (const MiiCommand& c : writes)
    EXPECT_NE(c.reg, 16) << c;
}

// The per-kind settings on their own, for link states media setup may find.
class PhyKindTest : public ::testing::Test {
 protected:
  PhyKindTest() : rig_(hw::boards::SingleEthernet()) { a()->ActivePhyAddress = 1; }
  void Configure(ULONG id, ULONG link, ULONG speed, ULONG home_lan = 16) {
    rig_.board().clear_logs();
    a()->ActivePhyId = id;
    a()->LinkState = link;
    a()->LinkSpeed = speed;
    a()->HomeLanMode = home_lan;
    a()->KeepAliveEnabled = 1;
    usbeth::ConfigurePhyKind(a());
  }
  usbeth::Adapter* a() { return rig_.a(); }
  hw::Board& board() { return rig_.board(); }
  PhyRig rig_;
};

TEST_F(PhyKindTest, EthernetKindsWriteTheirVendorRegisters) {
  Configure(usbeth::kPhyEthernet1, 5, 2);
  EXPECT_EQ(MiiCommands(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 27, 0x0044), MiiRead(1, 1)}));
  EXPECT_EQ(a()->KeepAliveEnabled, 0);
  Configure(usbeth::kPhyEthernet2, 5, 2);
  EXPECT_EQ(MiiCommands(board()), std::vector<MiiCommand>{MiiWrite(1, 23, 0x0080)});
  for (ULONG id : {usbeth::kPhyEthernet3, 0x01234560u}) {
    Configure(id, 5, 2);
    EXPECT_TRUE(board().register_writes().empty()) << std::hex << id;
    EXPECT_EQ(a()->KeepAliveEnabled, 0);
  }
}

TEST_F(PhyKindTest, FourthEthernetKindProgramsTheControllerBlockByLink) {
  Configure(usbeth::kPhyEthernet4, 5, 2);
  EXPECT_EQ(BlockWrites(board(), 0x7C), (std::vector<Bytes>{{0x34, 0x00, 0x26, 0x30}}));
  Configure(usbeth::kPhyEthernet4, 5, 1);
  EXPECT_EQ(BlockWrites(board(), 0x7C), (std::vector<Bytes>{{0x26, 0x00, 0x26, 0x30}}));
  Configure(usbeth::kPhyEthernet4, 6, 2);
  EXPECT_EQ(BlockWrites(board(), 0x7C), (std::vector<Bytes>{{0x36, 0x00, 0x26, 0x20}}));
  EXPECT_TRUE(MiiCommands(board()).empty());
}

TEST_F(PhyKindTest, FirstHomeKindSetsTheBlockAndTheModeNibble) {
  Configure(usbeth::kPhyHomeA, 6, 3, 0);
  EXPECT_EQ(BlockWrites(board(), 0x7C), (std::vector<Bytes>{{0x36, 0x00, 0x26, 0x34, 0x00, 0x06}}));
  EXPECT_EQ(board().peek_phy(1, 16) & 0x0F00, 0);
  struct {
    ULONG mode;
    uint16_t nibble;
  } modes[] = {{17, 0x0A00}, {18, 0x0900}, {19, 0x0600}, {20, 0x0500}, {3, 0x0000}};
  for (const auto& m : modes) {
    Configure(usbeth::kPhyHomeA, 5, 3, m.mode);
    EXPECT_EQ(BlockWrites(board(), 0x7C),
              (std::vector<Bytes>{{0x26, 0x00, 0x26, 0x34, 0x00, 0x06}}));
    EXPECT_EQ(board().peek_phy(1, 16) & 0x0F00, m.nibble) << m.mode;
  }
  // Only the nibble changes: every other bit of the register stays.
  usbeth::PhyWrite(a(), 1, 16, 0xF0FF);
  Configure(usbeth::kPhyHomeA, 5, 3, 17);
  EXPECT_EQ(board().peek_phy(1, 16), 0xFAFF);
  // 16: read, not written.
  Configure(usbeth::kPhyHomeA, 5, 3, 16);
  EXPECT_EQ(MiiCommands(board()), std::vector<MiiCommand>{MiiRead(1, 16)});
}

TEST_F(PhyKindTest, SecondHomeKindLightsTheLinkGpioOnlyWithLink) {
  Configure(usbeth::kPhyHomeB, 5, 3, 20);
  EXPECT_EQ(a()->KeepAliveEnabled, 1);
  EXPECT_EQ(board().values_written_to(0x7F), Bytes{0x04});
  EXPECT_EQ(MiiWrites(board()),
            (std::vector<MiiCommand>{MiiWrite(1, 25, 0x7F05), MiiWrite(1, 0, 0x2000),
                                     MiiWrite(1, 25, 0x7F02), MiiWrite(1, 31, 0x0001),
                                     MiiWrite(1, 7, 0x0008), MiiWrite(1, 6, 0x0028),
                                     MiiWrite(1, 31, 0x0000)}));
  bool one_byte_write_seen = false;
  for (const hw::ControlRecord& c : board().control_log()) {
    if (c.setup.bRequest == 0xF1 && c.setup.wIndex == 0x7F && c.setup.wLength == 1) {
      EXPECT_EQ(c.setup.wValue, 0x0004);
      one_byte_write_seen = true;
    }
  }
  EXPECT_TRUE(one_byte_write_seen);

  Configure(usbeth::kPhyHomeB, 6, 3, 0);
  EXPECT_TRUE(board().values_written_to(0x7F).empty());
  EXPECT_EQ(a()->KeepAliveEnabled, 1);
}

}  // namespace
}  // namespace usbeth_test
