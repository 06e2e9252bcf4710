// PHY switching after three down polls (chains E, T, H), and the monitor's
// behaviour when operations cannot start, a reset or a halt comes, or a PHY
// role is missing.

#include "link_rig.h"

namespace usbeth_test {
namespace {

using ::testing::ElementsAre;

constexpr NDIS_STATUS kConnect = NDIS_STATUS_MEDIA_CONNECT;
constexpr NDIS_STATUS kDisconnect = NDIS_STATUS_MEDIA_DISCONNECT;

std::vector<MiiCommand> OfPhy(const std::vector<MiiCommand>& cmds, uint8_t phy) {
  std::vector<MiiCommand> out;
  for (const MiiCommand& c : cmds) {
    if (c.phy == phy) out.push_back(c);
  }
  return out;
}

size_t Count(const std::vector<MiiCommand>& cmds, const MiiCommand& c) {
  return static_cast<size_t>(std::count(cmds.begin(), cmds.end(), c));
}

hw::BoardConfig ManyPhys(size_t count, bool home_network) {
  std::vector<hw::PhyConfig> phys = {PhyAt(1, usbeth::kPhyEthernet1), PhyAt(2, 0x01234560),
                                     PhyAt(3, usbeth::kPhyHomeA, home_network)};
  if (count == 4) phys.push_back(PhyAt(4, 0x01234570));
  hw::BoardConfig config = BoardWith(phys);
  config.eeprom = hw::EepromWithAddress({0x02, 0, 0, 0, 0, 1});
  return config;
}

// ---- Chain E: the Ethernet PHY lost its link -----------------------------------

class LinkLossTest : public LinkTest {
 protected:
  void ExpectChainE(const std::vector<MiiCommand>& writes, const std::vector<MiiCommand>& all) {
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x2000));
    EXPECT_EQ(writes[1], MiiWrite(1, 16, 0x2000));
    EXPECT_EQ(writes[2], MiiWrite(1, 16, 0x0000));
    // Two status reads of two reads each (no link) after a second's wait,
    // taken in command order: the last read and the next write may fall in
    // the same millisecond.
    size_t reads = 0;
    bool between = false;
    for (const MiiCommand& c : all) {
      if (c.write && c == writes[2] && c.at == writes[2].at) {
        between = true;
      } else if (c.write && c == writes[3] && c.at == writes[3].at) {
        break;
      } else if (between && !c.write) {
        EXPECT_EQ(c, MiiRead(1, 1));
        ++reads;
      }
    }
    EXPECT_EQ(reads, 4u);
    EXPECT_THAT(Pauses(writes[0].at - started_at - 50 * kMs, writes[3].at - started_at + 1),
                ElementsAre(1000 * kMs));
  }
};

TEST_F(LinkLossTest, SingleEthernetPhyRunsChainEOnEveryThirdDownPoll) {
  Start({});
  board().plug(1, false, now() + 4 * kSec);
  // The count of down polls starts again from 0 once chain E has ended.
  for (int step = 0;
       Count(MiiWritesOnly(4 * kSec), MiiWrite(1, 0, 0x1200)) == 0 || adapter()->LinkPollBusy != 0;
       ++step) {
    ASSERT_LT(step, 600);
    RunFor(50 * kMs);
  }
  EXPECT_EQ(adapter()->LinkDownCount, 0);
  RunUntil(40 * kSec);
  std::vector<MiiCommand> writes = MiiWritesOnly(4 * kSec);
  ASSERT_GE(writes.size(), 4u);
  ExpectChainE(writes, Mii(4 * kSec));
  EXPECT_EQ(writes[3], MiiWrite(1, 0, 0x1200));
  // Down polls from 6 s: the third (about 12 s) and every third after it.
  EXPECT_GE(Count(writes, MiiWrite(1, 0, 0x2000)), 3u);
  EXPECT_EQ(Count(writes, MiiWrite(1, 0, 0x2000)), Count(writes, MiiWrite(1, 0, 0x1200)));
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

TEST_F(LinkLossTest, TwoPhysRecoverOnTheEthernetPhyOnlyAndLeaveTheHomePhyAlone) {
  Start({TwoPhyBoard(true, false)});
  ASSERT_EQ(adapter()->ActivePhyId, usbeth::kPhyEthernet1);
  board().plug(1, false, now() + 4 * kSec);
  board().set_home_network(3, true, now() + 4 * kSec);  // the home PHY would have link
  RunUntil(20 * kSec);
  std::vector<MiiCommand> writes = MiiWritesOnly(4 * kSec);
  ASSERT_GE(writes.size(), 4u);
  ExpectChainE(writes, Mii(4 * kSec));
  EXPECT_EQ(writes[3], MiiWrite(1, 0, 0x1200));
  EXPECT_TRUE(OfPhy(Mii(4 * kSec), 3).empty());
  EXPECT_EQ(adapter()->ActivePhyId, usbeth::kPhyEthernet1);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

TEST_F(LinkLossTest, EthernetLinkBackDuringChainEIsTakenAt100Half) {
  Start({});
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  RunUntil(11 * kSec);
  // The partner comes back without negotiation, at 100 Mb/s half duplex,
  // before the third down poll.
  board().set_partner_abilities(1, 0x0080, false);
  board().plug(1, true);
  RunUntil(20 * kSec);
  std::vector<MiiCommand> writes = MiiWritesOnly(11 * kSec);
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x2000));
  EXPECT_EQ(Count(writes, MiiWrite(1, 0, 0x1200)), 0u);
  EXPECT_EQ(adapter()->LinkSpeed, usbeth::kSpeed100);
  EXPECT_EQ(adapter()->LinkDuplex, usbeth::kDuplexHalf);
  EXPECT_EQ(board().peek_register(0x01) & 0x30, 0x10);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
}

// ---- Chain T: more than two PHYs ------------------------------------------------

struct ManyCase {
  size_t phys;
  bool home_link;
};

class ManyPhyTest : public LinkTest, public ::testing::WithParamInterface<ManyCase> {};

TEST_P(ManyPhyTest, AfterChainETheHomePhyIsTried) {
  const ManyCase m = GetParam();
  LinkSetup setup;
  setup.board = ManyPhys(m.phys, m.home_link);
  usbeth::Adapter* a = Start(setup);
  ASSERT_EQ(a->PhyCount, m.phys);
  ASSERT_EQ(a->ActivePhyId, usbeth::kPhyEthernet1);
  board().plug(1, false, now() + 4 * kSec);
  RunUntil(25 * kSec);

  std::vector<MiiCommand> writes = MiiWritesOnly(4 * kSec);
  ASSERT_GE(writes.size(), 6u);
  EXPECT_EQ(writes[2], MiiWrite(1, 16, 0x0000));
  EXPECT_EQ(writes[3], MiiWrite(1, 0, 0x0C00));  // Ethernet PHY off the bus
  EXPECT_EQ(writes[4], MiiWrite(3, 0, 0x1200));  // home PHY restarted
  host::Nanoseconds restart = writes[4].at;
  std::vector<MiiCommand> home_reads;
  for (const MiiCommand& c : Mii(restart - started_at)) {
    if (!c.write && c.phy == 3 && c.reg == 1) home_reads.push_back(c);
  }
  ASSERT_FALSE(home_reads.empty());
  EXPECT_LT(restart, home_reads[0].at);
  // A second after chain E's last write, then 2 s after the home PHY's restart.
  EXPECT_THAT(Pauses(writes[0].at - started_at - 50 * kMs, home_reads[0].at - started_at + 1),
              ElementsAre(1000 * kMs, 2000 * kMs));
  if (m.home_link) {
    // Chain A on the home PHY, then chain M for a home PHY among several.
    EXPECT_EQ(writes[5], MiiWrite(3, 0, 0x1200));
    EXPECT_EQ(a->ActivePhyId, usbeth::kPhyHomeA);
    EXPECT_EQ(a->ActivePhyAddress, 3);
    EXPECT_EQ(a->HomePhyMode, usbeth::kHomePhyInUse);
    EXPECT_EQ(a->LinkSpeed, usbeth::kSpeedHome);
    bool gpio = false;
    for (const ControllerWrite& w : ControllerWrites(4 * kSec)) {
      if (w.first == 0x7E && w.bytes == std::vector<uint8_t>{0x36, 0x04}) gpio = true;
    }
    EXPECT_TRUE(gpio);
    EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
    // The home PHY is polled from now on.
    EXPECT_FALSE(StatusReads(3, 20 * kSec).empty());
  } else {
    EXPECT_EQ(writes[5], MiiWrite(3, 0, 0x0C00));
    EXPECT_EQ(a->ActivePhyId, usbeth::kPhyEthernet1);
    EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, ManyPhyTest,
                         ::testing::Values(ManyCase{3, true}, ManyCase{3, false}, ManyCase{4, true},
                                           ManyCase{4, false}));

// ---- Chain H: back from the home PHY ------------------------------------------------

TEST_F(LinkLossTest, HomeLinkLostWithEthernetLinkMovesBackWithDisconnectThenConnect) {
  usbeth::Adapter* a = Start({TwoPhyBoard(false, true)});
  ASSERT_EQ(a->ActivePhyId, usbeth::kPhyHomeA);
  host::Nanoseconds t0 = now();
  board().set_home_network(3, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 4 * kSec);
  RunUntil(30 * kSec);

  std::vector<ControllerWrite> gpio;
  for (const ControllerWrite& w : ControllerWrites(4 * kSec)) {
    if (w.first == 0x7E) gpio.push_back(w);
  }
  ASSERT_FALSE(gpio.empty());
  EXPECT_THAT(gpio[0].bytes, ElementsAre(0x26, 0x00));
  const host::Nanoseconds h1 = gpio[0].at;
  std::vector<MiiCommand> writes = MiiWritesOnly(h1);
  ASSERT_GE(writes.size(), 3u);
  // The Ethernet PHY negotiates again 300 ms later, is read 2 s after that,
  // the home PHY goes off the bus and chain A runs on the Ethernet PHY.
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x1200));
  EXPECT_EQ(writes[1], MiiWrite(3, 0, 0x0C00));
  EXPECT_EQ(writes[2], MiiWrite(1, 0, 0x1200));
  EXPECT_THAT(Pauses(h1 - 50 * kMs, writes[2].at - started_at + 1),
              ElementsAre(300 * kMs, 2000 * kMs));
  EXPECT_EQ(a->ActivePhyId, usbeth::kPhyEthernet1);
  EXPECT_EQ(a->ActivePhyAddress, 1);
  EXPECT_EQ(a->HomePhyMode, usbeth::kEthernetPhyInUse);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kDisconnect, kConnect));
  EXPECT_TRUE(board().phy_state(1).link_up);
}

TEST_F(LinkLossTest, HomeLinkLostWithoutEthernetLinkStaysOnTheHomePhy) {
  usbeth::Adapter* a = Start({TwoPhyBoard(false, true)});
  board().set_home_network(3, false, now() + 4 * kSec);
  RunUntil(20 * kSec);
  std::vector<MiiCommand> writes = MiiWritesOnly(4 * kSec);
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[0], MiiWrite(1, 0, 0x1200));
  EXPECT_EQ(writes[1], MiiWrite(1, 0, 0x0C00));
  EXPECT_EQ(a->ActivePhyId, usbeth::kPhyHomeA);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

// ---- Missing PHY roles -----------------------------------------------------------

TEST_F(LinkLossTest, SingleHomePhyIsNeverSwitchedAway) {
  Start({hw::boards::SingleHome(usbeth::kPhyHomeA)});
  board().set_home_network(1, false, now() + 4 * kSec);
  RunUntil(40 * kSec);
  EXPECT_TRUE(MiiWritesOnly(4 * kSec).empty());
  EXPECT_GE(StatusReads(1, 4 * kSec).size(), 2 * 11u);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

// Two PHYs, the home PHY active and no Ethernet PHY to move to: the down polls
// are never counted, so no switch ever starts.
TEST_F(LinkLossTest, HomePhyBesideAnUnrecognisedPhyNeverCountsDownPolls) {
  usbeth::Adapter* a =
      Start({BoardWith({PhyAt(1, usbeth::kPhyHomeA, true), PhyAt(2, 0x01234560)})});
  ASSERT_EQ(a->PhyCount, 2);
  ASSERT_EQ(a->EthernetPhyIndex, usbeth::kNoPhyIndex);
  ASSERT_EQ(a->ActivePhyId, usbeth::kPhyHomeA);
  board().set_home_network(1, false, now() + 4 * kSec);
  // The count as each poll leaves it, sampled between polls.
  std::vector<int> counts;
  for (int i = 0; i < 24; ++i) {
    RunFor(1500 * kMs);
    if (a->LinkPollBusy == 0) counts.push_back(a->LinkDownCount);
  }
  EXPECT_GE(counts.size(), 20u);
  EXPECT_EQ(counts, std::vector<int>(counts.size(), 0));
  EXPECT_TRUE(MiiWritesOnly(4 * kSec).empty());
  std::vector<ControllerWrite> writes = ControllerWrites(4 * kSec);
  ASSERT_EQ(writes.size(), 1u);  // the home link-down pattern after the disconnect
  EXPECT_EQ(writes[0].first, 0x7C);
  EXPECT_GE(StatusReads(1, 4 * kSec).size(), 2 * 10u);  // every 3 s, two reads each
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

TEST_F(LinkLossTest, SingleUnrecognisedPhyHasNowhereToGo) {
  usbeth::Adapter* a = Start({hw::boards::SingleEthernet(0x01234560)});
  ASSERT_EQ(a->PhyCount, 1);
  board().plug(1, false, now() + 4 * kSec);
  RunUntil(40 * kSec);
  EXPECT_TRUE(MiiWritesOnly(4 * kSec).empty());
  EXPECT_TRUE(ControllerWrites(4 * kSec).empty());
  EXPECT_GE(StatusReads(1, 4 * kSec).size(), 2 * 11u);
  EXPECT_EQ(a->LinkPollBusy, 0);
}

// ---- Operations that cannot start, resets and halts --------------------------------

using LinkRobustnessTest = LinkTest;

TEST_F(LinkRobustnessTest, PollWhoseRequestCannotStartEndsCleanlyAndPollingGoesOn) {
  Start({});
  RunUntil(3500 * kMs);
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  board().plug(1, false);
  RunUntil(6500 * kMs);
  EXPECT_EQ(adapter()->LinkPollBusy, 0);
  EXPECT_TRUE(PollTimerArmed());
  RunUntil(10 * kSec);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
  EXPECT_EQ(host::live_pool_blocks_with_tag(usbeth::kRequestPoolTag), 0u);
}

TEST_F(LinkRobustnessTest, StatusDataReadThatCannotStartEndsThePollAndPollingGoesOn) {
  Start({});
  RunUntil(3500 * kMs);
  // The next poll's status read writes its MII command, then cannot get an
  // IRP for the read of the data registers.
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 2);
  board().plug(1, false);
  RunUntil(6500 * kMs);
  EXPECT_EQ(adapter()->LinkPollBusy, 0);
  EXPECT_TRUE(PollTimerArmed());
  RunUntil(10 * kSec);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
  EXPECT_EQ(host::live_pool_blocks_with_tag(usbeth::kRequestPoolTag), 0u);
}

TEST_F(LinkRobustnessTest, ChainWhoseWriteCannotStartStillIndicatesOnTheNextPoll) {
  Start({});
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  // Chain A has written its restart and waits: the status read it starts
  // next cannot get an IRP.
  for (int step = 0; MiiWritesOnly(7 * kSec).empty(); ++step) {
    ASSERT_LT(step, 100);
    RunFor(100 * kMs);
  }
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  RunFor(2500 * kMs);
  EXPECT_EQ(adapter()->LinkPollBusy, 0);
  EXPECT_EQ(MiiWritesOnly(7 * kSec).size(), 1u);
  EXPECT_EQ(Mii(7 * kSec).back(), MiiWrite(1, 0, 0x1200));
  RunFor(4 * kSec);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect, kConnect));
}

TEST_F(LinkRobustnessTest, PollExpiringDuringAResetLooksAgainLater) {
  usbeth::Adapter* a = Start({});
  RunUntil(3500 * kMs);
  a->AdapterState = usbeth::kStateInitializing;  // the window of a controller restart
  RunUntil(6500 * kMs);
  EXPECT_EQ(StatusReads(1).size(), 1u);
  EXPECT_TRUE(PollTimerArmed());
  a->AdapterState = usbeth::kStateRunning;
  board().plug(1, false);
  RunUntil(10 * kSec);
  EXPECT_EQ(StatusReads(1).size(), 3u);
  EXPECT_THAT(Indications(), ElementsAre(kConnect, kDisconnect));
}

TEST_F(LinkRobustnessTest, ResetDoesNotEndLinkPolling) {
  Start({});
  RunUntil(3500 * kMs);
  rig->miniport->reset();
  RunUntil(8 * kSec);
  size_t reads = StatusReads(1, 8 * kSec).size();
  board().plug(1, false);
  RunUntil(20 * kSec);
  EXPECT_GT(StatusReads(1, 8 * kSec).size(), reads + 2);
  EXPECT_EQ(Indications().back(), kDisconnect);
}

TEST_F(LinkRobustnessTest, HaltDuringAChainLeavesNothingArmedAndSendsNothingMore) {
  usbeth::Adapter* a = Start({});
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  RunUntil(9500 * kMs);  // chain A waits 2 s after its restart write
  ASSERT_EQ(a->LinkPollBusy, 1);
  rig->miniport->halt();  // the verifier bug-checks a timer armed after halt
  host::Nanoseconds halted = since_start();
  RunFor(30 * kSec);
  for (const MiiCommand& c : Mii(halted))
    ADD_FAILURE() << "after halt: " << c;
}

// Shutdown while a chain waits on StepTimer: the chain keeps LinkPollBusy,
// so the stop sequence waits 2 s for it before the GPIO power-down (Ethernet
// PHY present) and 2 s before the home PHY's power-down (home PHY present),
// skips both, and still writes the link-down Ethernet pattern right after.
class ShutdownDuringStepWaitTest : public LinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ShutdownDuringStepWaitTest, SkipsTheFirstTwoStepsAfterTwoSecondsEachAndWritesTheLinkDown) {
  const bool with_home_phy = GetParam();
  LinkSetup setup;
  if (with_home_phy) {
    setup.board = TwoPhyBoard(true, false);
    setup.board.phys[0].id = hw::phyid::kEthernetD;
  } else {
    setup.board = hw::boards::SingleEthernet(hw::phyid::kEthernetD);
  }
  usbeth::Adapter* a = Start(setup);
  ASSERT_EQ(a->ActivePhyId, usbeth::kPhyEthernet4);
  ASSERT_EQ(a->HomePhyIndex != usbeth::kNoPhyIndex, with_home_phy);
  host::Nanoseconds t0 = now();
  board().plug(1, false, t0 + 4 * kSec);
  board().plug(1, true, t0 + 7 * kSec);
  // The link-up chain writes its restart and waits 2 s on StepTimer.
  for (int step = 0; !a->LinkChainTimerPending; ++step) {
    ASSERT_LT(step, 2000);
    RunFor(10 * kMs);
  }
  ASSERT_EQ(a->LinkPollBusy, 1);
  const host::Nanoseconds stop = since_start();
  const size_t submitted_before = watch->submitted.size();
  // The flag as the stop sequence's waits see it, every half second.
  std::vector<int> busy_while_waiting;
  const int samples = with_home_phy ? 7 : 3;
  for (int i = 1; i <= samples; ++i) {
    rig->kernel->scheduler().schedule_after(
        i * 500 * kMs, host::RunLevel::Dispatch,
        [&busy_while_waiting, a] { busy_while_waiting.push_back(a->LinkPollBusy); }, "sample");
  }
  ASSERT_TRUE(rig->miniport->shutdown());
  EXPECT_EQ(a->AdapterState, usbeth::kStateStopped);
  EXPECT_EQ(busy_while_waiting, std::vector<int>(samples, 1));  // the parked chain's throughout
  EXPECT_TRUE(MiiWritesOnly(stop).empty()) << "the home PHY was powered down";
  std::vector<ControllerWrite> writes = ControllerWrites(stop);
  ASSERT_EQ(writes.size(), 1u) << "the GPIO power-down pair was written";
  EXPECT_EQ(writes[0].first, 0x7C);
  EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0x36, 0x00, 0x26, 0x20}));
  // Each wait is 2000 rounds of 1 ms; the write is passed down right after.
  ASSERT_EQ(watch->submitted.size(), submitted_before + 1);
  EXPECT_EQ(watch->submitted.back() - started_at - stop, (with_home_phy ? 4 : 2) * kSec);
}

INSTANTIATE_TEST_SUITE_P(HomePhy, ShutdownDuringStepWaitTest, ::testing::Bool());

class StalledStopTest : public LinkTest, public ::testing::WithParamInterface<uint32_t> {};

// A chain request the device never answers holds LinkPollBusy with a request
// in flight: the stop sequence starts nothing over it, neither the writes
// that wait for the flag nor the link-down pattern of a 0x00225410 PHY.
TEST_P(StalledStopTest, StopWithAStalledChainRequestStartsNothingOverIt) {
  LinkSetup setup;
  setup.board = TwoPhyBoard(true, false);
  setup.board.phys[0].id = GetParam();
  usbeth::Adapter* a = Start(setup);
  RunUntil(3500 * kMs);
  // From now on vendor requests never complete.
  host::faults().set_urb_rule([](uint16_t function) {
    return function == URB_FUNCTION_VENDOR_DEVICE ? host::UrbFault::Stall : host::UrbFault::None;
  });
  RunUntil(6500 * kMs);
  ASSERT_EQ(a->LinkPollBusy, 1);
  size_t writes_before = board().register_writes().size();
  int in_flight = watch->in_flight;
  usbeth::PowerDownPhys(a);
  EXPECT_EQ(watch->in_flight, in_flight);  // nothing started over the stalled request
  EXPECT_EQ(board().register_writes().size(), writes_before);
  host::faults().reset();
  rig->Abandon();  // the stalled request never completes
}

// A home PHY that takes the GPIO link-down write at stop: when the device
// never answers that write, the stop waits exactly one second for its
// completion and two more for the flag, and starts nothing over it.
TEST_F(LinkTest, StopWaitsOneSecondForAGpioWriteTheDeviceNeverAnswers) {
  LinkSetup setup;
  setup.board = hw::boards::SingleHome(usbeth::kPhyHomeB);
  usbeth::Adapter* a = Start(setup);
  ASSERT_EQ(a->ActivePhyId, usbeth::kPhyHomeB);
  RunUntil(3500 * kMs);
  rig->bus->set_request_rule([](const host::usb::RequestInfo& r) {
    const bool gpio_write = !r.bulk && !r.in && r.setup.wIndex == 0x7E;
    return gpio_write ? host::usb::RequestFault::Hang : host::usb::RequestFault::None;
  });
  const size_t writes_before = board().register_writes().size();
  usbeth::PowerDownPhys(a);
  ASSERT_FALSE(watch->submitted.empty());
  ASSERT_EQ(watch->completed.back(), 0) << "the GPIO write is the one left hanging";
  EXPECT_EQ(now() - watch->submitted.back(), 3000 * kMs);
  EXPECT_EQ(watch->in_flight, 1);
  // The home PHY's power-down went to the device; the GPIO write never did.
  EXPECT_GT(board().register_writes().size(), writes_before);
  for (size_t i = writes_before; i < board().register_writes().size(); ++i)
    EXPECT_NE(board().register_writes()[i].first, 0x7E);
  rig->bus->set_request_rule(nullptr);
  rig->Abandon();  // the hanging write never completes
}

INSTANTIATE_TEST_SUITE_P(EthernetPhy, StalledStopTest,
                         ::testing::Values(hw::phyid::kEthernetA, hw::phyid::kEthernetD));

}  // namespace
}  // namespace usbeth_test
