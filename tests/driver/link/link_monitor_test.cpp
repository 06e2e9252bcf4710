// The link monitor as the device and NDIS see it: one status read every 3 s,
// indications on change, the chains run after a link came up or stayed down.

#include "link_rig.h"

namespace usbeth_test {
namespace {

using ::testing::ElementsAre;

constexpr NDIS_STATUS kConnect = NDIS_STATUS_MEDIA_CONNECT;
constexpr NDIS_STATUS kDisconnect = NDIS_STATUS_MEDIA_DISCONNECT;

// Index of the first command at or after `from` equal to `c`; -1 when none.
int FindMii(const std::vector<MiiCommand>& cmds, const MiiCommand& c, size_t from = 0) {
  for (size_t i = from; i < cmds.size(); ++i) {
    if (cmds[i] == c) return static_cast<int>(i);
  }
  return -1;
}

// ---- The poll itself -----------------------------------------------------------

using LinkPollTest = LinkTest;

TEST_F(LinkPollTest, FirstPollWithLinkUpIndicatesConnectOnceWithoutReconfiguring) {
  Start({});
  RunUntil(3500 * kMs);
  EXPECT_THAT(Indications(), ElementsAre(kConnect));
  std::vector<MiiCommand> mii = Mii();
  ASSERT_EQ(mii.size(), 1u);
  EXPECT_EQ(mii[0], MiiRead(1, 1));
  ASSERT_FALSE(Submissions().empty());
  EXPECT_EQ(Submissions()[0], 3000 * kMs);  // the poll armed as initialization ended
  EXPECT_TRUE(ControllerWrites().empty());
}

TEST_F(LinkPollTest, FirstPollWithLinkDownIndicatesDisconnectAfterTwoStatusReads) {
  Start({}, [](hw::Board& b) { b.plug(1, false); });
  RunUntil(3500 * kMs);
  EXPECT_THAT(Indications(), ElementsAre(kDisconnect));
  EXPECT_EQ(StatusReads(1).size(), 2u);
  EXPECT_TRUE(MiiWritesOnly().empty());
}

TEST_F(LinkPollTest, LinkThatStaysUpCostsOneStatusReadEveryThreeSeconds) {
  Start({});
  RunUntil(31 * kSec);
  std::vector<host::Nanoseconds> reads = StatusReads(1);
  ASSERT_EQ(reads.size(), 10u);
  // Each poll is armed for 3 s when the one before has ended.
  EXPECT_EQ(Submissions()[0], 3000 * kMs);
  EXPECT_EQ(Pauses(0), std::vector<host::Nanoseconds>(9, 3000 * kMs));
  EXPECT_EQ(Mii().size(), reads.size());  // nothing but the status reads
  EXPECT_TRUE(ControllerWrites().empty());
  EXPECT_THAT(Indications(), ElementsAre(kConnect));
  EXPECT_EQ(watch->max_in_flight, 1);
}

TEST_F(LinkPollTest, DownDownUpDownDownNeverSwitches) {
  Start({});
  // Toggle the cable between polls: after the first poll (up), two down
  // polls, one up, two down, one up.
  const bool plugged_after_poll[] = {false, false, true, false, false, true};
  size_t polls_seen = 0;
  for (bool plugged : plugged_after_poll) {
    for (int step = 0;; ++step) {
      ASSERT_LT(step, 200) << "no poll within 20 s";
      RunFor(100 * kMs);
      // A poll is over when a status read happened and the chain is done.
      size_t polls = 0;
      host::Nanoseconds last = 0;
      for (host::Nanoseconds t : StatusReads(1)) {
        if (polls == 0 || t - last > 500 * kMs) ++polls;
        last = t;
      }
      if (polls > polls_seen && adapter()->LinkPollBusy == 0) {
        polls_seen = polls;
        break;
      }
    }
    board().plug(1, plugged);
  }
  RunFor(8 * kSec);
  for (const MiiCommand& c : MiiWritesOnly()) {
    EXPECT_FALSE(c.reg == 16) << c;  // chain E never ran
    EXPECT_FALSE(c.reg == 0 && c.value == 0x2000) << c;
  }
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect, kDisconnect, kConnect));
}

TEST_F(LinkPollTest, ForcedMediaNeverSwitches) {
  LinkSetup setup;
  setup.media_type = 4;
  Start(setup);
  board().plug(1, false, now() + 4 * kSec);
  RunUntil(40 * kSec);
  EXPECT_TRUE(MiiWritesOnly(4 * kSec).empty());
  EXPECT_TRUE(ControllerWrites(4 * kSec).empty());
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
  EXPECT_GE(StatusReads(1, 4 * kSec).size(), 2 * 11u);
}

TEST_F(LinkPollTest, MulticastListLeavesTheDeviceAlone) {
  usbeth::Adapter* a = Start({});
  size_t before = board().register_writes().size();
  EXPECT_EQ(usbeth::ProgramMulticastList(a, 0), 1u);
  EXPECT_EQ(usbeth::ProgramMulticastList(a, 64), 1u);
  EXPECT_EQ(board().register_writes().size(), before);
}

// ---- Chain A and chain B after a link came up --------------------------------------

using LinkUpTest = LinkTest;

TEST_F(LinkUpTest, AutoNegotiationCompleteAtFirstLookResolvesAndProgramsTheController) {
  Start({TwoPhyBoard(true, false)});
  // The partner comes back offering a mode other than the one in use.
  const bool to_ten = adapter()->RxControl1 != 0x00;
  const uint8_t control1 = to_ten ? 0x00 : 0x30;
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().set_partner_abilities(1, to_ten ? 0x0020 : 0x0100, true, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  RunUntil(20 * kSec);

  std::vector<MiiCommand> mii = Mii(7 * kSec);
  int restart = FindMii(mii, MiiWrite(1, 0, 0x1200));
  ASSERT_GE(restart, 0);
  const host::Nanoseconds t = mii[restart].at - started_at;
  std::vector<MiiCommand> chain(mii.begin() + restart, mii.end());
  ASSERT_GE(chain.size(), 5u);
  EXPECT_EQ(chain[1], MiiRead(1, 1));
  EXPECT_THAT(Pauses(t - 50 * kMs, t + 4 * kSec), ElementsAre(2000 * kMs));
  EXPECT_EQ(chain[2], MiiRead(1, 5));
  EXPECT_EQ(chain[3], MiiWrite(3, 0, 0x0C00));  // the home PHY comes off the bus
  EXPECT_EQ(chain[4], MiiWrite(1, 27, 0x0044));

  std::vector<ControllerWrite> writes = ControllerWrites(t);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].first, 0x01);
  EXPECT_THAT(writes[0].bytes, ElementsAre(control1, adapter()->FilterControl2));
  EXPECT_EQ(board().peek_register(0x01) & 0x30, control1);
  EXPECT_EQ(adapter()->LinkSpeed, to_ten ? usbeth::kSpeed10 : usbeth::kSpeed100);
  EXPECT_EQ(adapter()->LinkDuplex, to_ten ? usbeth::kDuplexHalf : usbeth::kDuplexFull);

  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
  EXPECT_GE(seen.timed.back().at, chain[4].at);
}

TEST_F(LinkUpTest, RxControlChangeKeepsTheBroadcastBitTheFilterSet) {
  Start({TwoPhyBoard(true, false)});
  // The protocol asks for directed and broadcast frames.
  ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
  std::vector<uint8_t> data(reinterpret_cast<uint8_t*>(&filter),
                            reinterpret_cast<uint8_t*>(&filter) + 4);
  rig->miniport->set(OID_GEN_CURRENT_PACKET_FILTER, data);
  RunFor(100 * kMs);
  uint8_t control2 = board().peek_register(0x02);
  EXPECT_NE(control2 & 0x02, 0);
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().set_partner_abilities(1, 0x0020, true, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  RunUntil(20 * kSec);
  EXPECT_EQ(board().peek_register(0x01) & 0x30, 0x00);
  EXPECT_EQ(board().peek_register(0x02), control2);
}

TEST_F(LinkUpTest, AutoNegotiationIncompleteAtBothLooksChangesNothingButIndicates) {
  LinkSetup setup;
  setup.board.timing.autoneg_ns = 8 * kSec;
  usbeth::Adapter* a = Start(setup);
  UCHAR control1 = a->RxControl1;
  RunUntil(25 * kSec);

  std::vector<MiiCommand> writes = MiiWritesOnly();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x1200));
  const host::Nanoseconds t = writes[0].at - started_at;
  std::vector<MiiCommand> chain = Mii(t, t + 10 * kSec);
  ASSERT_GE(chain.size(), 3u);
  EXPECT_EQ(chain[1], MiiRead(1, 1));
  EXPECT_EQ(chain[2], MiiRead(1, 1));
  EXPECT_THAT(Pauses(t - 50 * kMs, t + 9 * kSec), ElementsAre(2000 * kMs, 5000 * kMs));
  for (const MiiCommand& c : Mii())
    EXPECT_NE(c.reg, 5) << c;
  EXPECT_TRUE(ControllerWrites().empty());
  EXPECT_EQ(a->RxControl1, control1);
  // The first poll found no link yet; the chain ends with the connect.
  ASSERT_THAT(Indications(), ElementsAre(kDisconnect, kConnect));
  EXPECT_GE(seen.timed[1].at, chain[2].at);
}

class ForcedMediaTest : public LinkTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ForcedMediaTest, MediaType4ReForces100FullAfterAdvertising) {
  LinkSetup setup;
  setup.media_type = 4;
  setup.board.timing.autoneg_ns = GetParam();
  usbeth::Adapter* a = Start(setup);
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  RunUntil(25 * kSec);

  std::vector<MiiCommand> writes = MiiWritesOnly(7 * kSec);
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x1200));
  EXPECT_EQ(writes[1], MiiWrite(1, 4, 0x0101));
  EXPECT_EQ(writes[2], MiiWrite(1, 0, 0x2100));
  // 2 s after the advertisement, and 2 s more when auto-negotiation was not
  // complete at the status read.
  const host::Nanoseconds from = writes[0].at - started_at - 50 * kMs;
  const host::Nanoseconds to = writes[2].at - started_at + 1;
  if (GetParam() < 2 * kSec) {
    EXPECT_THAT(Pauses(from, to), ElementsAre(2000 * kMs));
  } else {
    EXPECT_THAT(Pauses(from, to), ElementsAre(2000 * kMs, 2000 * kMs));
  }
  EXPECT_EQ(a->LinkSpeed, usbeth::kSpeed100);
  EXPECT_EQ(a->LinkDuplex, usbeth::kDuplexFull);
  EXPECT_EQ(a->RxControl1, 0x30);
  EXPECT_EQ(board().peek_register(0x01) & 0x30, 0x30);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
}

INSTANTIATE_TEST_SUITE_P(AutoNegotiationTime, ForcedMediaTest,
                         ::testing::Values(1500 * kMs, 3000 * kMs));

TEST_F(LinkUpTest, MediaTypeWithoutForcedModeRestartsAutoNegotiation) {
  LinkSetup setup;
  setup.media_type = 9;
  Start(setup);
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  RunUntil(20 * kSec);
  std::vector<MiiCommand> writes = MiiWritesOnly(7 * kSec);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x1200));
  for (const MiiCommand& c : writes)
    EXPECT_NE(c.reg, 4) << c;  // no advertisement forced
  EXPECT_EQ(FindMii(Mii(7 * kSec), MiiRead(1, 5)) >= 0, true);
}

// ---- Chain M on each PHY kind -------------------------------------------------------

struct KindCase {
  uint32_t id;
  bool home;
  ULONG home_lan;
};

class PhyKindTest : public LinkTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(PhyKindTest, LinkUpAppliesTheKindsWrites) {
  const KindCase k = GetParam();
  LinkSetup setup;
  setup.board = k.home ? hw::boards::SingleHome(k.id) : hw::boards::SingleEthernet(k.id);
  setup.home_lan = k.home_lan;
  setup.set_home_lan = true;
  Start(setup);
  host::Nanoseconds t0 = now();
  if (k.home) {
    board().set_home_network(1, false, t0 + 4 * kSec);
    board().set_home_network(1, true, t0 + 7 * kSec);
  } else {
    board().plug(1, false, t0 + 4 * kSec);
    board().plug(1, true, t0 + 7 * kSec);
  }
  uint16_t reg16_before = board().peek_phy(1, 16);
  RunUntil(20 * kSec);

  std::vector<MiiCommand> mii = Mii(7 * kSec);
  const uint16_t restart = k.id == usbeth::kPhyHomeB ? 0x2000 : 0x1200;
  int first = FindMii(mii, MiiWrite(1, 0, restart));
  ASSERT_GE(first, 0);
  const host::Nanoseconds t = mii[first].at - started_at;
  std::vector<MiiCommand> writes = MiiWritesOnly(t);
  std::vector<ControllerWrite> block;
  for (const ControllerWrite& w : ControllerWrites(t)) {
    if (w.first == 0x7C || w.first == 0x7E) block.push_back(w);
  }
  switch (k.id) {
    case usbeth::kPhyEthernet1:
      EXPECT_THAT(writes, ElementsAre(MiiWrite(1, 0, 0x1200), MiiWrite(1, 27, 0x0044)));
      EXPECT_TRUE(block.empty());
      break;
    case usbeth::kPhyEthernet2:
      EXPECT_THAT(writes, ElementsAre(MiiWrite(1, 0, 0x1200), MiiWrite(1, 23, 0x0080)));
      EXPECT_TRUE(block.empty());
      break;
    case usbeth::kPhyEthernet3:
      EXPECT_THAT(writes, ElementsAre(MiiWrite(1, 0, 0x1200)));
      EXPECT_TRUE(block.empty());
      break;
    case usbeth::kPhyEthernet4:
      EXPECT_THAT(writes, ElementsAre(MiiWrite(1, 0, 0x1200)));
      ASSERT_EQ(block.size(), 2u);  // from the chain, then after the connect
      for (const ControllerWrite& w : block) {
        EXPECT_EQ(w.first, 0x7C);
        EXPECT_THAT(w.bytes, ElementsAre(0x34, 0x00, 0x26, 0x30));
      }
      break;
    default: {  // home PHYs
      ASSERT_GE(block.size(), 2u);
      EXPECT_EQ(block[0].first, 0x7C);
      EXPECT_THAT(block[0].bytes, ElementsAre(0x26, 0x00, 0x26, 0x34, 0x00, 0x06));
      if (k.id == usbeth::kPhyHomeA) {
        EXPECT_EQ(block[1].first, 0x7C);
        EXPECT_THAT(block[1].bytes, ElementsAre(0x26, 0x00, 0x26, 0x34, 0x00, 0x06));
      } else {
        EXPECT_EQ(block[1].first, 0x7E);
        EXPECT_THAT(block[1].bytes, ElementsAre(0x06, 0x04));
      }
      bool reg16_read = FindMii(Mii(t), MiiRead(1, 16)) >= 0;
      std::vector<MiiCommand> reg16_writes;
      for (const MiiCommand& c : writes) {
        if (c.reg == 16) reg16_writes.push_back(c);
      }
      if (k.home_lan == 16) {
        EXPECT_FALSE(reg16_read);
        EXPECT_TRUE(reg16_writes.empty());
        EXPECT_EQ(board().peek_phy(1, 16), reg16_before);
      } else {
        EXPECT_TRUE(reg16_read);
        ASSERT_EQ(reg16_writes.size(), 1u);
        uint16_t nibble = k.home_lan == 18 ? 0x0900 : 0x0000;
        EXPECT_EQ(reg16_writes[0].value & 0x0F00, nibble);
        EXPECT_EQ(reg16_writes[0].value & 0xF0FF, reg16_before & 0xF0FF);
      }
      EXPECT_EQ(adapter()->LinkSpeed, usbeth::kSpeedHome);
      break;
    }
  }
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
}

// The first poll that finds the link down indicates the disconnect, then
// writes the active PHY kind's link-down pattern once.
TEST_P(PhyKindTest, LinkDownWritesTheKindsPatternAfterTheDisconnect) {
  const KindCase k = GetParam();
  LinkSetup setup;
  setup.board = k.home ? hw::boards::SingleHome(k.id) : hw::boards::SingleEthernet(k.id);
  Start(setup);
  host::Nanoseconds t0 = now();
  if (k.home) {
    board().set_home_network(1, false, t0 + 4 * kSec);
  } else {
    board().plug(1, false, t0 + 4 * kSec);
  }
  RunUntil(8 * kSec);  // one down poll, at about 6 s
  ASSERT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
  const host::Nanoseconds disconnect = seen.timed[1].at - started_at;
  std::vector<ControllerWrite> writes = ControllerWrites(4 * kSec);
  switch (k.id) {
    case usbeth::kPhyEthernet4:
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_EQ(writes[0].first, 0x7C);
      EXPECT_THAT(writes[0].bytes, ElementsAre(0x36, 0x00, 0x26, 0x20));
      break;
    case usbeth::kPhyHomeA:
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_EQ(writes[0].first, 0x7C);
      EXPECT_THAT(writes[0].bytes, ElementsAre(0x36, 0x00, 0x26, 0x34, 0x00, 0x06));
      break;
    case usbeth::kPhyHomeB:
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_EQ(writes[0].first, 0x7E);
      EXPECT_THAT(writes[0].bytes, ElementsAre(0x06, 0x06));
      break;
    default:
      EXPECT_TRUE(writes.empty());
      break;
  }
  if (!writes.empty()) {
    EXPECT_GE(writes[0].at, disconnect);
  }
  EXPECT_TRUE(MiiWritesOnly(4 * kSec).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PhyKindTest,
    ::testing::Values(KindCase{usbeth::kPhyEthernet1, false, 16},
                      KindCase{usbeth::kPhyEthernet2, false, 16},
                      KindCase{usbeth::kPhyEthernet3, false, 16},
                      KindCase{usbeth::kPhyEthernet4, false, 16},
                      KindCase{usbeth::kPhyHomeA, true, 16}, KindCase{usbeth::kPhyHomeA, true, 0},
                      KindCase{usbeth::kPhyHomeA, true, 18}, KindCase{usbeth::kPhyHomeB, true, 16},
                      KindCase{usbeth::kPhyHomeB, true, 0}, KindCase{usbeth::kPhyHomeB, true, 18}));

}  // namespace
}  // namespace usbeth_test
