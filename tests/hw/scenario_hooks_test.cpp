// The hooks the simulator's scenarios use: receive transfers injected as
// given, where each frame ended, the device unplugged and back, a
// configuration value other than 1, per-PHY timing, and the partner's echo.
#include <gtest/gtest.h>

#include "hw/ethernet.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

constexpr MacAddress kStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr MacAddress kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr MacAddress kOther = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

class LinkedRig : public Rig {
 public:
  explicit LinkedRig(BoardConfig config = boards::SingleEthernet()) : Rig(std::move(config)) {
    Configure();
    Enable();
    Sleep(2 * kSecond);
    board.set_fate_tap([this](const FrameFateRecord& f) { fates.push_back(f); });
  }
  std::vector<FrameFateRecord> fates;
};

TEST(InjectedTransfer, ComesOutAsGivenBehindQueuedFrames) {
  LinkedRig rig;
  std::vector<uint8_t> frame = MakeFrame(kStation, kPeer, 0x0800, std::vector<uint8_t>(46, 1));
  rig.board.send_from_partner(1, frame);
  std::vector<uint8_t> lie(70, 0xAB);  // not a frame the MAC would make
  rig.board.inject_bulk_in_transfer(lie);
  rig.board.inject_bulk_in_transfer({});  // a zero-length transfer
  rig.board.inject_bulk_in_transfer(std::vector<uint8_t>(1536, 0x11));
  auto first = rig.ReceiveTransfer();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), frame.size() + 8);
  auto second = rig.ReceiveTransfer();
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, lie);
  auto third = rig.ReceiveTransfer();
  ASSERT_TRUE(third);
  EXPECT_TRUE(third->empty());
  auto fourth = rig.ReceiveTransfer();
  ASSERT_TRUE(fourth);
  EXPECT_EQ(fourth->size(), 1536u);
  // Injected transfers take no FIFO room and are not the MAC's frames.
  EXPECT_EQ(rig.board.rx_fifo_bytes(), 0u);
  ASSERT_EQ(rig.fates.size(), 1u);
  EXPECT_EQ(rig.fates[0].fate, FrameFate::RxReadOut);
  EXPECT_EQ(rig.fates[0].bytes, frame);
}

TEST(InjectedTransfer, AControllerResetDropsItWithTheFrames) {
  LinkedRig rig;
  rig.board.send_from_partner(1, MakeFrame(kStation, kPeer, 0x0800, std::vector<uint8_t>(46, 2)));
  rig.board.inject_bulk_in_transfer({1, 2, 3});
  rig.WriteRegs(reg::kRxCtl1, {0x08});  // MAC reset flushes the FIFO
  Counters c = rig.board.counters();
  EXPECT_EQ(c.rx_flushed, 1u);  // the frame; the injected transfer was none
  ASSERT_EQ(rig.fates.size(), 1u);
  EXPECT_EQ(rig.fates[0].fate, FrameFate::RxFlushed);
  rig.Sleep(kMillisecond);
  EXPECT_FALSE(rig.ReceiveTransfer());
  EXPECT_EQ(rig.board.rx_fifo_frames(), 0u);
}

TEST(FrameFates, FilteredAndNoLinkFramesAreReportedWithTheirBytes) {
  LinkedRig rig;
  std::vector<uint8_t> other = MakeFrame(kOther, kPeer, 0x0800, std::vector<uint8_t>(46, 3));
  rig.board.send_from_partner(1, other);
  rig.board.plug(1, false);
  rig.Sleep(kSecond);
  std::vector<uint8_t> sent = MakeFrame(kPeer, kStation, 0x0800, std::vector<uint8_t>(46, 4));
  rig.SendTransfer(Rig::Framed(sent), false);
  rig.board.send_from_partner(1, other);
  ASSERT_EQ(rig.fates.size(), 3u);
  EXPECT_EQ(rig.fates[0].fate, FrameFate::RxFiltered);
  EXPECT_EQ(rig.fates[0].bytes, other);
  EXPECT_EQ(rig.fates[1].fate, FrameFate::TxNoLink);
  EXPECT_EQ(rig.fates[1].bytes, sent);
  EXPECT_EQ(rig.fates[2].fate, FrameFate::RxNoLink);
}

TEST(UsbReset, TheDeviceComesBackUnconfigured) {
  LinkedRig rig;
  rig.board.halt_endpoint(rig.board.bulk_in_endpoint());
  rig.board.usb_reset();
  EXPECT_EQ(rig.board.configuration(), 0);
  EXPECT_FALSE(rig.board.endpoint_halted(rig.board.bulk_in_endpoint()));
  size_t len = 0;
  uint8_t packet[64];
  EXPECT_EQ(rig.board.bulk_in(rig.board.bulk_in_endpoint(), packet, 64, len), Handshake::Stall);
  rig.Configure();
  EXPECT_EQ(rig.board.bulk_in(rig.board.bulk_in_endpoint(), packet, 64, len), Handshake::Nak);
}

TEST(Descriptors, ConfigurationValueIsReportedAndTheOnlyOneAccepted) {
  BoardConfig config = boards::SingleEthernet();
  config.descriptors.configuration_value = 2;
  Rig rig(config);
  EXPECT_EQ(rig.board.configuration_descriptor()[5], 2);
  EXPECT_EQ(rig.Control(0x00, 9, 1, 0, 0, nullptr).handshake, Handshake::Stall);
  EXPECT_EQ(rig.Control(0x00, 9, 2, 0, 0, nullptr).handshake, Handshake::Ack);
  EXPECT_EQ(rig.board.configuration(), 2);
}

TEST(PhyTiming, EachPhyMayHaveItsOwn) {
  BoardConfig config = boards::EthernetAndHome();
  config.timing.autoneg_ns = 100 * kMillisecond;
  TimingConfig slow = config.timing;
  slow.home_link_ns = 5 * kSecond;
  config.phys[1].timing = slow;  // the home-network PHY at MII 3
  config.phys[1].partner.home_network = true;
  Rig rig(config);
  rig.Sleep(2 * kSecond);
  EXPECT_TRUE(rig.board.phy_state(1).link_up);
  EXPECT_FALSE(rig.board.phy_state(3).link_up);
  rig.Sleep(4 * kSecond);
  EXPECT_TRUE(rig.board.phy_state(3).link_up);
}

TEST(Echo, ShortFramesComeBackPaddedFromThePartner) {
  LinkedRig rig;
  rig.board.set_echo(1, true, kMillisecond);
  std::vector<uint8_t> sent = MakeFrame(kPeer, kStation, 0x88B5, std::vector<uint8_t>(10, 5));
  ASSERT_LT(sent.size(), 60u);
  rig.SendTransfer(Rig::Framed(sent), false);
  rig.Sleep(2 * kMillisecond);
  auto t = rig.ReceiveTransfer();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->size(), 60u + 8u);
  EXPECT_EQ((*t)[t->size() - 2] & rxstat::kRunt, 0);
  EXPECT_TRUE(std::equal(kStation.begin(), kStation.end(), t->begin()));
}

}  // namespace
}  // namespace hw
