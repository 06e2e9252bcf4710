// The wire at the link's rate: each frame takes its preamble, bytes (padded
// to 60), FCS and inter-frame gap; the MAC holds one frame while another is
// going out and NAKs the next bulk-out transfer until the held one leaves;
// the partner's frames follow one another at the same rate.
#include <gtest/gtest.h>

#include "hw/ethernet.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

constexpr MacAddress kStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr MacAddress kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

std::vector<uint8_t> Frame(const MacAddress& dst, size_t size, uint8_t fill) {
  std::vector<uint8_t> payload(size - 14, fill);
  return MakeFrame(dst, kPeer, 0x0800, payload);
}

// Configured, enabled, its link up at the partner's best: 100 Mb/s unless
// the partner offers only 10.
class WireRig : public Rig {
 public:
  explicit WireRig(BoardConfig config) : Rig(std::move(config)) {
    Configure();
    Enable();
    Sleep(2 * kSecond);
  }
  // One packet of a new bulk-out transfer: how the MAC answers it.
  Handshake FirstPacket(const std::vector<uint8_t>& transfer) {
    const size_t mps = board.max_packet(board.bulk_out_endpoint());
    return board.bulk_out(board.bulk_out_endpoint(), transfer.data(),
                          std::min(mps, transfer.size()));
  }
  std::vector<WireFrame> Direction(WireDirection d) {
    std::vector<WireFrame> out;
    for (const WireFrame& f : board.wire_frames()) {
      if (f.direction == d) out.push_back(f);
    }
    return out;
  }
};

BoardConfig At(int mbps, BusSpeed speed = BusSpeed::High) {
  BoardConfig config = boards::SingleEthernet();
  config.speed = speed;
  config.phys[0].partner.abilities = mbps == 100 ? 0x01E0 : 0x0060;
  return config;
}

TEST(Wire, FrameTimeCountsPreambleMinimumFrameFcsAndGap) {
  EXPECT_EQ(WireTimeNs(60, 100), 6720u);  // 84 bytes: 148,810 frames/s
  EXPECT_EQ(WireTimeNs(14, 100), 6720u);  // padded to the minimum
  EXPECT_EQ(WireTimeNs(1514, 100), 123040u);
  EXPECT_EQ(WireTimeNs(1514, 10), 1230400u);
  EXPECT_EQ(WireTimeNs(590, 1), 4912000u);
  EXPECT_EQ(WireTimeNs(1514, 0), 0u);  // no link
}

TEST(Wire, TransmitHoldsOneFrameAndNaksTheNextTransferUntilItLeaves) {
  for (int mbps : {100, 10}) {
    SCOPED_TRACE(mbps);
    WireRig rig(At(mbps));
    ASSERT_EQ(rig.board.phy_state(1).speed_mbps, mbps);
    const uint64_t t0 = rig.now;
    const uint64_t each = WireTimeNs(1514, mbps);
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t i = 0; i < 3; ++i)
      frames.push_back(Frame(kPeer, 1514, i));

    rig.SendTransfer(Rig::Framed(frames[0]), false);  // on the wire at once
    rig.SendTransfer(Rig::Framed(frames[1]), false);  // held behind it
    const std::vector<uint8_t> third = Rig::Framed(frames[2]);
    EXPECT_EQ(rig.FirstPacket(third), Handshake::Nak);
    // The NAK holds exactly until the held frame goes out.
    EXPECT_EQ(rig.board.naks_until(rig.board.bulk_out_endpoint()), t0 + each);
    rig.Sleep(each - 1);
    EXPECT_EQ(rig.FirstPacket(third), Handshake::Nak);
    rig.Sleep(1);
    rig.SendTransfer(third, false);  // the held frame left: the MAC takes this one

    rig.Sleep(10 * each);
    std::vector<WireFrame> out = rig.Direction(WireDirection::ToPartner);
    ASSERT_EQ(out.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(out[i].bytes, frames[i]);
      EXPECT_EQ(out[i].time_ns, t0 + i * each);  // back to back
    }
    EXPECT_EQ(rig.board.counters().wire_tx_frames, 3u);
  }
}

TEST(Wire, AnIdleWireTakesATransferAtOnce) {
  WireRig rig(At(100));
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 60, 1)), false);
  rig.Sleep(WireTimeNs(60, 100));
  // The first frame has left: nothing is held, so nothing is NAKed.
  EXPECT_EQ(rig.FirstPacket(Rig::Framed(Frame(kPeer, 60, 2))), Handshake::Ack);
  EXPECT_EQ(rig.board.naks_until(rig.board.bulk_out_endpoint()), rig.now);
  EXPECT_EQ(rig.Direction(WireDirection::ToPartner).size(), 2u);
}

// The board is passive: a held frame must reach the wire (and its tap) even
// when nobody calls in again once it was taken, as when the driver has
// nothing more to send and its reads go elsewhere.
TEST(Wire, AHeldFrameGoesOutWithoutAnotherCall) {
  WireRig rig(At(10));
  std::vector<WireFrame> tapped;
  rig.board.set_wire_tap([&](const WireFrame& f) { tapped.push_back(f); });
  const uint64_t t0 = rig.now;
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 1514, 1)), false);
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 1514, 2)), false);
  ASSERT_EQ(tapped.size(), 2u);
  EXPECT_EQ(tapped[0].time_ns, t0);
  EXPECT_EQ(tapped[1].time_ns, t0 + WireTimeNs(1514, 10));  // when it starts
  EXPECT_EQ(tapped[1].bytes[20], 2);
  rig.board.set_wire_tap(nullptr);
}

TEST(Wire, PartnerFramesFollowEachOtherAtTheLinkRate) {
  for (int mbps : {100, 10}) {
    SCOPED_TRACE(mbps);
    WireRig rig(At(mbps));
    const uint64_t t0 = rig.now;
    // Three frames due at the same moment and one due in the middle of the
    // second: they keep their order and each waits for the one before.
    rig.board.send_from_partner(1, Frame(kStation, 590, 1), t0);
    rig.board.send_from_partner(1, Frame(kStation, 60, 2), t0);
    rig.board.send_from_partner(1, Frame(kStation, 1514, 3), t0);
    const uint64_t t1 = t0 + WireTimeNs(590, mbps);
    const uint64_t t2 = t1 + WireTimeNs(60, mbps);
    rig.board.send_from_partner(1, Frame(kStation, 60, 4), t1 + 1);
    const uint64_t t3 = t2 + WireTimeNs(1514, mbps);
    EXPECT_EQ(rig.board.partner_frames_waiting(1), 2u);
    rig.Sleep(kSecond);
    EXPECT_EQ(rig.board.partner_frames_waiting(1), 0u);
    std::vector<WireFrame> in = rig.Direction(WireDirection::FromPartner);
    ASSERT_EQ(in.size(), 4u);
    const uint64_t want[] = {t0, t1, t2, t3};
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(in[i].bytes[20], i + 1);
      EXPECT_EQ(in[i].time_ns, want[i]);
    }
    // Each reached the FIFO in turn, and the bulk-in pipe reads them in order.
    for (uint8_t i = 1; i <= 4; ++i) {
      auto t = rig.ReceiveTransfer();
      ASSERT_TRUE(t.has_value());
      EXPECT_EQ((*t)[20], i);
    }
  }
}

// A partner offered more than its wire carries holds a bounded queue for
// it and drops the rest, each drop counted and reported.
TEST(Wire, PartnerQueueIsBoundedAndDropsBeyondIt) {
  BoardConfig config = At(10);
  config.partner_queue_frames = 3;
  config.rx_fifo_bytes = 1 << 16;
  WireRig rig(config);
  std::vector<FrameFateRecord> fates;
  rig.board.set_fate_tap([&](const FrameFateRecord& f) { fates.push_back(f); });
  for (uint8_t i = 1; i <= 6; ++i)
    rig.board.send_from_partner(1, Frame(kStation, 590, i));
  // One on the wire, three waiting, two dropped.
  EXPECT_EQ(rig.board.partner_frames_waiting(1), 3u);
  EXPECT_EQ(rig.board.counters().rx_partner_dropped, 2u);
  ASSERT_EQ(fates.size(), 2u);
  EXPECT_EQ(fates[0].fate, FrameFate::RxPartnerBusy);
  EXPECT_EQ(fates[0].bytes[20], 5);
  EXPECT_EQ(fates[1].bytes[20], 6);
  rig.Sleep(kSecond);
  EXPECT_EQ(rig.board.counters().wire_rx_frames, 4u);
  rig.board.set_fate_tap(nullptr);
}

// A caller may ask whether the partner would take a frame before building
// it: the answer is what send_from_partner would do at that moment, and the
// drops it counts itself show in the counters.
TEST(Wire, PartnerTakesFrameTellsAQueueWithRoomFromAFullOne) {
  BoardConfig config = At(10);
  config.partner_queue_frames = 2;
  config.rx_fifo_bytes = 1 << 16;
  WireRig rig(config);
  EXPECT_TRUE(rig.board.partner_takes_frame(1));  // nothing sent yet
  for (uint8_t i = 1; i <= 3; ++i) {
    EXPECT_TRUE(rig.board.partner_takes_frame(1)) << int(i);
    rig.board.send_from_partner(1, Frame(kStation, 1514, i));
  }
  // One on the wire, two waiting: the next would be dropped.
  EXPECT_FALSE(rig.board.partner_takes_frame(1));
  rig.board.partner_drops(2);
  EXPECT_EQ(rig.board.counters().rx_partner_dropped, 2u);
  EXPECT_EQ(rig.board.counters().wire_rx_frames, 1u);
  // Once the first has left the wire, one more fits again.
  rig.Sleep(WireTimeNs(1514, 10));
  EXPECT_TRUE(rig.board.partner_takes_frame(1));
  rig.board.send_from_partner(1, Frame(kStation, 1514, 4));
  EXPECT_FALSE(rig.board.partner_takes_frame(1));
  EXPECT_EQ(rig.board.counters().rx_partner_dropped, 2u);
}

// A generator's offer in one call: the cable of the PHY carrying traffic
// (the fallback only without one), the frame built only when the partner
// takes it, a drop counted otherwise, and the change told only for a frame taken.
TEST(Wire, AnOfferBuildsOnlyWhatThePartnerTakes) {
  BoardConfig config = At(10);
  config.partner_queue_frames = 1;
  config.rx_fifo_bytes = 1 << 16;
  WireRig rig(config);
  int changes = 0, builds = 0, fallbacks = 0;
  rig.board.set_change_hook([&] { ++changes; });
  auto fallback = [&] {
    ++fallbacks;
    return uint8_t{7};
  };
  auto build = [&] {
    ++builds;
    return Frame(kStation, 1514, static_cast<uint8_t>(builds));
  };
  for (int i = 0; i < 2; ++i) {  // one goes out, one waits
    Board::PartnerOffer offer = rig.board.offer_from_partner(fallback, build);
    EXPECT_TRUE(offer.taken);
    EXPECT_EQ(offer.mii_address, 1);
  }
  Board::PartnerOffer offer = rig.board.offer_from_partner(fallback, build);
  EXPECT_FALSE(offer.taken);
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(fallbacks, 0);
  EXPECT_EQ(rig.board.counters().rx_partner_dropped, 1u);
  EXPECT_EQ(rig.board.partner_frames_waiting(1), 1u);
  rig.Sleep(WireTimeNs(1514, 10));
  EXPECT_EQ(rig.board.counters().wire_rx_frames, 2u);

  // No link: the fallback's cable, where the frame is lost for want of a link.
  rig.board.plug(1, false);
  rig.Sleep(kSecond);
  offer = rig.board.offer_from_partner(fallback, build);
  EXPECT_EQ(fallbacks, 1);
  EXPECT_EQ(offer.mii_address, 7);
  EXPECT_TRUE(offer.taken);
  EXPECT_EQ(rig.board.counters().rx_lost_no_link, 1u);
  rig.board.set_change_hook(nullptr);
}

// Without the wire log the tap still sees every frame both ways, whole, and
// the frames read out on the bulk-in pipe are told as fates with their bytes
// (trailer taken off) while the FIFO's room comes back.
TEST(Wire, WithoutTheLogTheTapsSeeEveryFrameWhole) {
  BoardConfig config = At(100);
  config.keep_wire_log = false;
  WireRig rig(config);
  std::vector<WireFrame> seen;
  std::vector<FrameFateRecord> fates;
  rig.board.set_wire_tap([&](const WireFrame& f) { seen.push_back(f); });
  rig.board.set_fate_tap([&](const FrameFateRecord& f) { fates.push_back(f); });
  const auto in = Frame(kStation, 1514, 7);
  rig.board.send_from_partner(1, in);
  auto out = Frame(kPeer, 600, 9);
  std::vector<uint8_t> transfer = {static_cast<uint8_t>(out.size()),
                                   static_cast<uint8_t>(out.size() >> 8)};
  transfer.insert(transfer.end(), out.begin(), out.end());
  rig.SendTransfer(transfer, false);
  rig.Sleep(kMillisecond);
  auto got = rig.ReceiveTransfer();
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), in.size() + 8);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), got->begin()));
  EXPECT_EQ(rig.board.rx_fifo_bytes(), 0u);
  EXPECT_TRUE(rig.board.wire_frames().empty());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].direction, WireDirection::FromPartner);
  EXPECT_EQ(seen[0].bytes, in);
  EXPECT_EQ(seen[1].direction, WireDirection::ToPartner);
  EXPECT_EQ(seen[1].bytes, out);
  ASSERT_EQ(fates.size(), 1u);
  EXPECT_EQ(fates[0].fate, FrameFate::RxReadOut);
  EXPECT_EQ(fates[0].bytes, std::vector<uint8_t>(got->begin(), got->end() - 8));
  rig.board.set_wire_tap(nullptr);
  rig.board.set_fate_tap(nullptr);
}

TEST(Wire, PhyCarryingTrafficFollowsTheLink) {
  WireRig rig(At(100));
  EXPECT_EQ(rig.board.phy_carrying_traffic(), std::optional<uint8_t>(1));
  rig.board.plug(1, false);
  rig.Sleep(kSecond);
  EXPECT_EQ(rig.board.phy_carrying_traffic(), std::nullopt);
  EXPECT_FALSE(rig.board.phy_state(1).carries_traffic);
}

TEST(Wire, BulkInNaksHoldOnlyUntilTheNextPartnerFrameStarts) {
  WireRig rig(At(10));
  const uint64_t t0 = rig.now;
  rig.board.send_from_partner(1, Frame(kStation, 1514, 1), t0);
  rig.board.send_from_partner(1, Frame(kStation, 1514, 2), t0);
  ASSERT_TRUE(rig.ReceiveTransfer().has_value());
  EXPECT_FALSE(rig.ReceiveTransfer().has_value());  // the second is still on its way
  const uint64_t second = t0 + WireTimeNs(1514, 10);
  EXPECT_EQ(rig.board.naks_until(rig.board.bulk_in_endpoint()), second);
  rig.now = second;
  EXPECT_TRUE(rig.ReceiveTransfer().has_value());
}

TEST(Wire, HomeNetworkRunsAtOneMegabit) {
  BoardConfig config = boards::SingleHome(phyid::kHomeA);
  WireRig rig(config);
  ASSERT_EQ(rig.board.phy_state(1).speed_mbps, 1);
  const uint64_t t0 = rig.now;
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 590, 1)), false);
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 590, 2)), false);
  EXPECT_EQ(rig.FirstPacket(Rig::Framed(Frame(kPeer, 60, 3))), Handshake::Nak);
  EXPECT_EQ(rig.board.naks_until(rig.board.bulk_out_endpoint()), t0 + 4912000u);
}

TEST(Wire, UnlimitedWireTakesNoTime) {
  BoardConfig config = At(10);
  config.wire_at_link_rate = false;
  WireRig rig(config);
  const uint64_t t0 = rig.now;
  for (uint8_t i = 0; i < 3; ++i) {
    rig.SendTransfer(Rig::Framed(Frame(kPeer, 1514, i)), false);
    rig.board.send_from_partner(1, Frame(kStation, 1514, i), t0);
  }
  std::vector<WireFrame> out = rig.Direction(WireDirection::ToPartner);
  std::vector<WireFrame> in = rig.Direction(WireDirection::FromPartner);
  ASSERT_EQ(out.size(), 3u);
  ASSERT_EQ(in.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].time_ns, t0);
    EXPECT_EQ(in[i].time_ns, t0);
  }
}

}  // namespace
}  // namespace hw
