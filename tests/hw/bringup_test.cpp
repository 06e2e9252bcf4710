// The driver's start-up sequence end to end against a two-PHY board:
// power-up pins, the PHY scan, isolating the unused PHY, auto-negotiation
// with its waits, the double link probe, enable, and a frame each way.
#include <gtest/gtest.h>

#include "hw/ethernet.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

TEST(BringUp, TwoPhyBoardComesUpOnTheEthernetPhy) {
  Rig rig(boards::EthernetAndHome());
  rig.Configure();
  rig.WriteRegs(reg::kGpioPhyControl, {0x24, 0x06});
  rig.Sleep(5 * kMillisecond);
  rig.WriteRegs(reg::kGpioPhyControl, {0x26, 0x04});
  rig.Sleep(10 * kMillisecond);
  rig.WriteRegs(0x7B, {0x02, 0x00});

  std::vector<std::pair<uint8_t, uint32_t>> found;
  for (uint8_t a = 0; a < 10; ++a) {
    rig.WriteRegs(reg::kMiiAddress, {a, 0, 0, static_cast<uint8_t>(0x40 | a)});
    uint16_t status = rig.PhyRead(a, mii::kBmsr);
    if (status == 0xFFFF || status == 0x0000) continue;
    uint32_t id = uint32_t(rig.PhyRead(a, mii::kPhyId1)) << 16 | rig.PhyRead(a, mii::kPhyId2);
    found.emplace_back(a, id & 0xFFFFFFF0u);
  }
  ASSERT_EQ(found, (std::vector<std::pair<uint8_t, uint32_t>>{{1, phyid::kEthernetA},
                                                              {3, phyid::kHomeA}}));
  rig.PhyWrite(3, mii::kBmcr, 0x0C00);  // the home PHY goes off the bus

  // Auto-negotiation as the driver runs it: reset, wait for the bit, advertise,
  // restart, 100 ms, then 30 ms polls for completion.
  rig.PhyWrite(1, mii::kBmcr, mii::kBmcrReset);
  int polls = 0;
  do {
    rig.Sleep(30 * kMillisecond);
    ++polls;
  } while ((rig.PhyRead(1, mii::kBmcr) & mii::kBmcrReset) && polls < 100);
  EXPECT_EQ(polls, 1);
  rig.PhyWrite(1, mii::kAnar, 0x01E1);
  rig.PhyWrite(1, mii::kBmcr, 0x1200);
  rig.Sleep(100 * kMillisecond);
  polls = 0;
  while (!(rig.PhyRead(1, mii::kBmsr) & mii::kBmsrAnComplete) && polls < 100) {
    rig.Sleep(30 * kMillisecond);
    ++polls;
  }
  EXPECT_LT(polls, 100);
  EXPECT_EQ(rig.PhyRead(1, mii::kAnlpar) & mii::kAbilityMask, 0x01E0);
  // The probe: a first read may show the latched drop, the second the link.
  bool up = rig.PhyRead(1, mii::kBmsr) & mii::kBmsrLink;
  if (!up) up = rig.PhyRead(1, mii::kBmsr) & mii::kBmsrLink;
  EXPECT_TRUE(up);

  rig.WriteRegs(reg::kRxCtl0, {0x00, 0x00});
  rig.WriteRegs(reg::kRxCtl1, {0x08, 0x00});
  rig.Sleep(kMillisecond);
  rig.WriteRegs(reg::kRxCtl0, {0xF9, 0x30, 0x00});
  rig.WriteRegs(reg::kRxCtl0, {0xF9, 0x30, 0x02});

  const MacAddress station = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const MacAddress peer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  std::vector<uint8_t> out = MakeFrame(peer, station, 0x0800, std::vector<uint8_t>(46, 1));
  rig.SendTransfer(Rig::Framed(out), false);
  rig.board.send_from_partner(1, MakeFrame(kBroadcast, peer, 0x0806, std::vector<uint8_t>(46)));
  ASSERT_EQ(rig.board.frames_sent_to_partner().size(), 1u);
  EXPECT_EQ(rig.board.frames_sent_to_partner()[0].mii_address, 1);
  std::optional<std::vector<uint8_t>> in = rig.ReceiveTransfer();
  ASSERT_TRUE(in);
  EXPECT_EQ(in->size(), 68u);
  EXPECT_EQ(rig.board.counters().rx_mii_contention, 0u);
}

}  // namespace
}  // namespace hw
