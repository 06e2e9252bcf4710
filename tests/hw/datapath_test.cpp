// The MAC between the bulk pipes and the wire: bulk-out framing, the merge
// when a zero-length packet is missing, the receive filter, the bulk-in
// trailer, the bounded receive FIFO and the link partner's traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hw/ethernet.h"
#include "rig.h"

namespace hw {
namespace {

using testing::Rig;

constexpr MacAddress kStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr MacAddress kPeer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr MacAddress kOther = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

std::vector<uint8_t> Frame(const MacAddress& dst, size_t size, uint8_t fill = 0x5A) {
  std::vector<uint8_t> payload(size - 14, fill);
  return MakeFrame(dst, kPeer, 0x0800, payload);
}

// A running adapter with its link up: configured, enabled, filter set.
class LinkedRig : public Rig {
 public:
  explicit LinkedRig(BoardConfig config = boards::SingleEthernet()) : Rig(std::move(config)) {
    Configure();
    Enable();
    Sleep(2 * kSecond);
  }
  std::vector<std::vector<uint8_t>> OnWire() {
    std::vector<std::vector<uint8_t>> out;
    for (const WireFrame& f : board.frames_sent_to_partner())
      out.push_back(f.bytes);
    return out;
  }
};

TEST(BulkOut, LengthPrefixAndPaddingAreStripped) {
  LinkedRig rig;
  std::vector<uint8_t> small = Frame(kPeer, 42);
  std::vector<uint8_t> transfer = Rig::Framed(small);
  ASSERT_EQ(transfer.size(), 60u);
  rig.SendTransfer(transfer, false);
  std::vector<uint8_t> full = Frame(kPeer, 1514);
  rig.SendTransfer(Rig::Framed(full), false);  // 1516 bytes: ends with a short packet
  EXPECT_EQ(rig.OnWire(), (std::vector<std::vector<uint8_t>>{small, full}));
  Counters c = rig.board.counters();
  EXPECT_EQ(c.wire_tx_frames, 2u);
  EXPECT_EQ(c.tx_trailing_discarded, 0u);
  EXPECT_EQ(c.endpoint_bytes[0x02], 60u + 1516u);
}

TEST(BulkOut, ZeroLengthPacketEndsAWholePacketTransfer) {
  LinkedRig rig;
  std::vector<uint8_t> a = Frame(kPeer, 62);  // transfer of 64 bytes
  std::vector<uint8_t> b = Frame(kPeer, 42);
  rig.SendTransfer(Rig::Framed(a), true);
  EXPECT_EQ(rig.OnWire().size(), 1u);  // the zero-length packet ended it
  rig.SendTransfer(Rig::Framed(b), false);
  EXPECT_EQ(rig.OnWire(), (std::vector<std::vector<uint8_t>>{a, b}));
  EXPECT_EQ(rig.board.counters().tx_zero_length_transfers, 0u);  // it ended a transfer
}

TEST(BulkOut, MissingZeroLengthPacketMergesTheNextFrameIntoIt) {
  for (BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
    BoardConfig config = boards::SingleEthernet();
    config.speed = speed;
    LinkedRig rig(config);
    const size_t mps = rig.board.max_packet(0x02);
    std::vector<uint8_t> a = Frame(kPeer, 2 * mps - 2);
    std::vector<uint8_t> b = Frame(kPeer, 100, 0x33);
    rig.SendTransfer(Rig::Framed(a), false);
    EXPECT_TRUE(rig.OnWire().empty());  // the transfer has not ended yet
    rig.SendTransfer(Rig::Framed(b), false);
    EXPECT_EQ(rig.OnWire(), (std::vector<std::vector<uint8_t>>{a}));  // b is lost
    EXPECT_EQ(rig.board.counters().tx_trailing_discarded, 1u);
  }
}

TEST(BulkOut, MalformedTransfersAreRefusedSafely) {
  LinkedRig rig;
  rig.SendTransfer({0x00, 0x00, 1, 2, 3}, false);  // length 0
  rig.SendTransfer({0xD0, 0x07, 1, 2, 3}, false);  // 2000: longer than any frame
  rig.SendTransfer({0x05}, false);                 // no room for a prefix
  EXPECT_EQ(rig.board.counters().tx_bad_length, 3u);
  // A prefix counting more than follows (32 over a 32-byte transfer): what
  // is there goes out.
  std::vector<uint8_t> keepalive(32, 0);
  keepalive[0] = 0x20;
  keepalive[13] = 0x01;
  rig.SendTransfer(keepalive, false);
  std::vector<std::vector<uint8_t>> wire = rig.OnWire();
  ASSERT_EQ(wire.size(), 1u);
  EXPECT_EQ(wire[0].size(), 30u);
  EXPECT_EQ(rig.board.counters().tx_short_transfers, 1u);
  // A transfer that never ends is cut off at the MAC's buffer size.
  std::vector<uint8_t> runaway(64 * 40, 0x11);
  runaway[0] = 0x40;
  runaway[1] = 0x00;
  rig.SendTransfer(runaway, true);
  EXPECT_EQ(rig.board.counters().tx_oversize_transfers, 1u);
  EXPECT_EQ(rig.OnWire().size(), 1u);
}

TEST(BulkOut, FramesNeedTheTransmitterAndALink) {
  Rig rig(boards::SingleEthernet());
  rig.Configure();
  rig.Sleep(2 * kSecond);
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 60)), false);  // transmitter off
  rig.Enable();
  rig.board.plug(1, false);
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 60)), false);  // no link
  Counters c = rig.board.counters();
  EXPECT_EQ(c.tx_dropped_disabled, 1u);
  EXPECT_EQ(c.tx_dropped_no_link, 1u);
  EXPECT_EQ(c.wire_tx_frames, 0u);
}

TEST(BulkIn, FrameCrcAndStatusTrailer) {
  LinkedRig rig;
  std::vector<uint8_t> frame = Frame(kStation, 60);
  rig.board.send_from_partner(1, frame);
  std::optional<std::vector<uint8_t>> t = rig.ReceiveTransfer();
  ASSERT_TRUE(t);
  const size_t n = t->size();
  ASSERT_EQ(n, 68u);  // one full packet and a short one
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), t->begin()));
  const uint32_t crc = EthernetCrc32(frame.data(), frame.size());
  EXPECT_EQ((*t)[60] | (*t)[61] << 8 | (*t)[62] << 16 | uint32_t((*t)[63]) << 24, crc);
  EXPECT_EQ((*t)[n - 4] | ((*t)[n - 3] & 0x0F) << 8, 64);  // frame + CRC
  EXPECT_EQ((*t)[n - 2], rxstat::kAddressMatch);
  EXPECT_EQ((*t)[n - 1], 0);
  // The driver's length: ((n - 4) & 0xFFF) - 4 is the frame.
  EXPECT_EQ((((n - 4) & 0xFFF) - 4) & 0xFFFF, frame.size() + 4 - 4);
  EXPECT_FALSE(rig.ReceiveTransfer());  // NAK: nothing more
}

TEST(BulkIn, WholePacketFramesEndWithAZeroLengthPacket) {
  LinkedRig rig;
  rig.board.send_from_partner(1, Frame(kStation, 120));  // 128 bytes with trailer
  rig.board.send_from_partner(1, Frame(kStation, 70));
  rig.Sleep(kMillisecond);  // the second follows the first on the wire
  std::optional<std::vector<uint8_t>> first = rig.ReceiveTransfer();
  std::optional<std::vector<uint8_t>> second = rig.ReceiveTransfer();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 128u);
  EXPECT_EQ(second->size(), 78u);
  EXPECT_EQ(rig.board.counters().bulk_in_packets, 2u + 1u + 2u);
}

// The packets of one bulk transfer reach the board in one call, which takes
// its lock (and reads its clock) once, and move as they would one by one.
TEST(BulkTransfers, APacketRunTakesTheBoardOnceAndMovesWhatSinglePacketsWould) {
  LinkedRig rig;
  const uint8_t out = rig.board.bulk_out_endpoint();
  const uint8_t in = rig.board.bulk_in_endpoint();
  const size_t mps = rig.board.max_packet(out);
  std::vector<uint8_t> frame = Frame(kPeer, 1514);
  std::vector<uint8_t> transfer = Rig::Framed(frame);
  uint64_t reads = rig.clock_reads;
  BulkPackets r =
      rig.board.bulk_out_packets(out & 0x0F, transfer.data(), transfer.size(), mps, 100);
  EXPECT_EQ(rig.clock_reads - reads, 1u);
  EXPECT_EQ(r.handshake, Handshake::Ack);
  EXPECT_EQ(r.packets, (transfer.size() + mps - 1) / mps);
  EXPECT_EQ(r.bytes, transfer.size());
  EXPECT_TRUE(r.ended);
  EXPECT_EQ(rig.OnWire(), std::vector<std::vector<uint8_t>>{frame});

  // The MAC holds the next frame while this one is on the wire; the one after
  // waits: NAKed, nothing moved.
  r = rig.board.bulk_out_packets(out & 0x0F, transfer.data(), transfer.size(), mps, 100);
  EXPECT_TRUE(r.ended);
  r = rig.board.bulk_out_packets(out & 0x0F, transfer.data(), transfer.size(), mps, 100);
  EXPECT_EQ(r.handshake, Handshake::Nak);
  EXPECT_EQ(r.packets, 0u);

  // In: a budget of two packets stops short of the end; the rest follows.
  std::vector<uint8_t> received = Frame(kStation, 1000);
  rig.board.send_from_partner(1, received);
  std::vector<uint8_t> buf(1536);
  reads = rig.clock_reads;
  r = rig.board.bulk_in_packets(in, buf.data(), buf.size(), mps, 2);
  EXPECT_EQ(rig.clock_reads - reads, 1u);
  EXPECT_EQ(r.packets, 2u);
  EXPECT_EQ(r.bytes, 2 * mps);
  EXPECT_FALSE(r.ended);
  const size_t first = r.bytes;
  r = rig.board.bulk_in_packets(in, buf.data() + first, buf.size() - first, mps, 100);
  EXPECT_TRUE(r.ended);
  EXPECT_FALSE(r.overrun);
  ASSERT_EQ(first + r.bytes, received.size() + 8);
  EXPECT_TRUE(std::equal(received.begin(), received.end(), buf.begin()));
  EXPECT_EQ(rig.board.counters().bulk_in_packets, (received.size() + 8 + mps - 1) / mps);
}

// A buffer too small for what the device sends: the packet that does not fit
// is an overrun, and the buffer holds what fitted of it.
TEST(BulkTransfers, APacketLargerThanTheRoomLeftIsAnOverrun) {
  LinkedRig rig;
  const uint8_t in = rig.board.bulk_in_endpoint();
  const size_t mps = rig.board.max_packet(in);
  std::vector<uint8_t> received = Frame(kStation, 120);  // 128 bytes with CRC and trailer
  rig.board.send_from_partner(1, received);
  const size_t room = mps + mps / 2;
  std::vector<uint8_t> buf(room + 16, 0xCC);
  BulkPackets r = rig.board.bulk_in_packets(in, buf.data(), room, mps, 100);
  EXPECT_EQ(r.handshake, Handshake::Ack);
  EXPECT_TRUE(r.overrun);
  EXPECT_TRUE(r.ended);
  EXPECT_EQ(r.bytes, room);
  EXPECT_EQ(r.packets, 2u);
  EXPECT_TRUE(
      std::equal(received.begin(), received.begin() + static_cast<ptrdiff_t>(room), buf.begin()));
  EXPECT_EQ(buf[room], 0xCC);  // nothing past the room given
}

TEST(BulkIn, StatusBitsForRuntsAndInjectedFaults) {
  LinkedRig rig;
  rig.board.send_from_partner(1, Frame(kBroadcast, 40));
  std::vector<uint8_t> t = *rig.ReceiveTransfer();
  rig.Sleep(kMillisecond);  // the wire is free for the next one
  EXPECT_EQ(t[t.size() - 2], rxstat::kRunt | rxstat::kBroadcast);

  rig.board.inject_crc_errors(1);
  std::vector<uint8_t> frame = Frame(kStation, 64);
  rig.board.send_from_partner(1, frame);
  t = *rig.ReceiveTransfer();
  EXPECT_EQ(t[t.size() - 2] & rxstat::kCrcError, rxstat::kCrcError);
  EXPECT_NE(t[64] | t[65] << 8 | t[66] << 16 | uint32_t(t[67]) << 24,
            EthernetCrc32(frame.data(), frame.size()));

  rig.board.inject_rx_status(rxstat::kAlignError, 2);
  for (int i = 0; i < 3; ++i)
    rig.board.send_from_partner(1, frame);
  rig.Sleep(kMillisecond);  // one after the other on the wire
  for (uint8_t expected : {0x50, 0x50, 0x40}) {
    t = *rig.ReceiveTransfer();
    EXPECT_EQ(t[t.size() - 2], expected);
  }
}

TEST(ReceiveFilter, EachControlBit) {
  const MacAddress group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const unsigned index = MulticastHashIndex(group);
  std::vector<uint8_t> hash(8, 0);
  hash[index / 8] = static_cast<uint8_t>(1u << (index % 8));
  const MacAddress other_group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x02};
  ASSERT_NE(MulticastHashIndex(other_group), index);

  struct Case {
    const char* name;
    uint8_t rx0, rx2;
    MacAddress dst;
    bool passes;
  };
  const Case cases[] = {
      {"directed to us", 0xF9, 0x00, kStation, true},
      {"directed elsewhere", 0xF9, 0x02, kOther, false},
      {"broadcast refused", 0xF9, 0x00, kBroadcast, false},
      {"broadcast accepted", 0xF9, 0x02, kBroadcast, true},
      {"multicast in hash", 0xF9, 0x02, group, true},
      {"multicast not in hash", 0xF9, 0x02, other_group, false},
      {"all multicast", 0xFB, 0x02, other_group, true},
      {"promiscuous", 0xF9, 0x06, kOther, true},
      {"receiver off", 0xF8, 0x06, kStation, false},
  };
  for (const Case& c : cases) {
    LinkedRig rig;
    rig.WriteRegs(reg::kMulticastHash, hash);
    rig.Enable(c.rx0, 0x30, c.rx2);
    rig.board.send_from_partner(1, Frame(c.dst, 64));
    EXPECT_EQ(rig.ReceiveTransfer().has_value(), c.passes) << c.name;
  }
}

TEST(ReceiveFifo, BoundedAndCounted) {
  BoardConfig config = boards::SingleEthernet();
  config.rx_fifo_bytes = 4 * (100 + 8);
  LinkedRig rig(config);
  for (int i = 0; i < 6; ++i)
    rig.board.send_from_partner(1, Frame(kStation, 100, uint8_t(i)));
  rig.Sleep(kMillisecond);  // one after the other on the wire
  EXPECT_EQ(rig.board.rx_fifo_frames(), 4u);
  EXPECT_EQ(rig.board.counters().rx_fifo_overflows, 2u);
  EXPECT_EQ((*rig.ReceiveTransfer())[20], 0);
  // Room for one more once a frame has been read out.
  rig.board.send_from_partner(1, Frame(kStation, 100, 9));
  rig.Sleep(kMillisecond);
  EXPECT_EQ(rig.board.counters().rx_fifo_overflows, 2u);
  for (uint8_t fill : {1, 2, 3, 9})
    EXPECT_EQ((*rig.ReceiveTransfer())[20], fill);
  EXPECT_EQ(rig.board.rx_fifo_bytes(), 0u);
}

TEST(ReceiveFifo, EndpointResetDropsAPartlyReadFrame) {
  LinkedRig rig;
  rig.board.send_from_partner(1, Frame(kStation, 200, 1));
  rig.board.send_from_partner(1, Frame(kStation, 60, 2));
  rig.Sleep(kMillisecond);  // both on the wire
  uint8_t packet[64];
  size_t len = 0;
  ASSERT_EQ(rig.board.bulk_in(0x81, packet, 64, len), Handshake::Ack);
  rig.board.reset_endpoint(0x81);
  EXPECT_EQ((*rig.ReceiveTransfer())[20], 2);
  EXPECT_EQ(rig.board.counters().rx_stream_discarded, 1u);
}

TEST(LinkPartner, ScriptedTrafficArrivesOnTimeAndNeedsTheLink) {
  LinkedRig rig;
  const uint64_t t0 = rig.now;
  rig.board.send_from_partner(1, Frame(kStation, 64, 1), t0 + 10 * kMillisecond);
  rig.board.plug(1, false, t0 + 20 * kMillisecond);
  rig.board.send_from_partner(1, Frame(kStation, 64, 2), t0 + 30 * kMillisecond);
  rig.Sleep(5 * kMillisecond);
  EXPECT_FALSE(rig.ReceiveTransfer());
  rig.Sleep(100 * kMillisecond);
  EXPECT_EQ((*rig.ReceiveTransfer())[20], 1);
  EXPECT_FALSE(rig.ReceiveTransfer());
  EXPECT_EQ(rig.board.counters().rx_lost_no_link, 1u);
  std::vector<WireFrame> wire = rig.board.wire_frames();
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0].time_ns, t0 + 10 * kMillisecond);
  EXPECT_EQ(wire[1].direction, WireDirection::FromPartner);
}

TEST(LinkPartner, EchoAndWireTap) {
  LinkedRig rig;
  rig.board.set_echo(1, true, kMillisecond);
  std::vector<WireFrame> tapped;
  Board* board = &rig.board;
  rig.board.set_wire_tap([&](const WireFrame& f) {
    tapped.push_back(f);
    board->counters();  // the tap runs outside the board's lock
  });
  std::vector<uint8_t> ping = MakeFrame(kOther, kStation, 0x0800, std::vector<uint8_t>(50, 7));
  rig.SendTransfer(Rig::Framed(ping), false);
  EXPECT_FALSE(rig.ReceiveTransfer());
  rig.Sleep(kMillisecond);
  std::vector<uint8_t> reply = *rig.ReceiveTransfer();
  EXPECT_TRUE(std::equal(kStation.begin(), kStation.end(), reply.begin()));
  EXPECT_TRUE(std::equal(kPeer.begin(), kPeer.end(), reply.begin() + 6));
  ASSERT_EQ(tapped.size(), 2u);
  EXPECT_EQ(tapped[0].direction, WireDirection::ToPartner);
  EXPECT_EQ(tapped[1].direction, WireDirection::FromPartner);
}

TEST(LinkPartner, OnlyTheUnisolatedPhyCarriesFrames) {
  BoardConfig config = boards::EthernetAndHome();
  config.phys[1].partner.home_network = true;
  LinkedRig rig(config);
  // Both PHYs attached to the data path: their receive data collide.
  rig.board.send_from_partner(1, Frame(kStation, 64));
  EXPECT_EQ(rig.board.counters().rx_mii_contention, 1u);
  rig.Sleep(kMillisecond);  // the cable is free again
  rig.SendTransfer(Rig::Framed(Frame(kPeer, 64)), false);
  EXPECT_EQ(rig.board.frames_sent_to_partner().size(), 2u);  // out on both cables
  // Isolating the home PHY leaves the Ethernet PHY alone on the data path.
  rig.PhyWrite(3, mii::kBmcr, 0x0C00);
  rig.board.send_from_partner(1, Frame(kStation, 64));
  rig.board.send_from_partner(3, Frame(kStation, 64));
  EXPECT_TRUE(rig.ReceiveTransfer());
  EXPECT_FALSE(rig.ReceiveTransfer());
  EXPECT_EQ(rig.board.counters().rx_lost_no_link, 1u);
}

TEST(Threads, ConcurrentCallersSeeConsistentCounters) {
  std::atomic<uint64_t> clock{0};
  BoardConfig config = boards::SingleEthernet();
  config.rx_fifo_bytes = 1 << 20;
  config.wire_at_link_rate = false;  // the clock stands still: frames must take no time
  Board board(config, [&] { return clock.load(); });
  SetupPacket configure{0x00, 9, 1, 0, 0};
  board.control(configure, nullptr);
  uint8_t enable[3] = {0xF9, 0x30, 0x06};
  board.control(
      SetupPacket{
          0x40,
          0xF1,
          0,
          0,
          3,
      },
      enable);
  clock = 2 * kSecond;
  constexpr int kFrames = 500;
  std::thread sender([&] {
    std::vector<uint8_t> t = Rig::Framed(Frame(kPeer, 42));
    for (int i = 0; i < kFrames; ++i)
      board.bulk_out(0x02, t.data(), t.size());
  });
  std::thread partner([&] {
    for (int i = 0; i < kFrames; ++i)
      board.send_from_partner(1, Frame(kStation, 60));
  });
  std::thread reader([&] {
    uint8_t packet[64];
    size_t len;
    for (int i = 0; i < 4 * kFrames; ++i)
      board.bulk_in(0x81, packet, 64, len);
  });
  std::thread poller([&] {
    uint8_t buf[4];
    for (int i = 0; i < kFrames; ++i)
      board.control(SetupPacket{0xC0, 0xF0, 0, 0x25, 4}, buf);
  });
  for (std::thread* t : {&sender, &partner, &reader, &poller})
    t->join();
  Counters c = board.counters();
  EXPECT_EQ(c.wire_tx_frames, uint64_t(kFrames));
  EXPECT_EQ(c.rx_fifo_frames, uint64_t(kFrames));
  EXPECT_EQ(c.control_requests, uint64_t(kFrames) + 2);
}

}  // namespace
}  // namespace hw

namespace {

// The frame check sum: the standard check value, and the same sum as one
// table step per byte at every length and start alignment, so the eight-byte
// steps, the folded blocks and the byte tail meet correctly.
TEST(EthernetCrc, MatchesTheCheckValueAndTheBytewiseSumAtEveryLengthAndAlignment) {
  const char* check = "123456789";
  EXPECT_EQ(hw::EthernetCrc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  EXPECT_EQ(hw::EthernetCrc32(nullptr, 0), 0u);
  auto bytewise = [](const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      crc ^= p[i];
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
  };
  std::vector<uint8_t> data(1600);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  // Up to 300 bytes: the byte tail alone, whole 16-byte blocks folded once
  // and four at a time (where the processor folds), and every tail after them.
  for (size_t start = 0; start < 16; ++start) {
    for (size_t len = 0; len <= 300; ++len)
      ASSERT_EQ(hw::EthernetCrc32(data.data() + start, len), bytewise(data.data() + start, len))
          << start << " " << len;
    ASSERT_EQ(hw::EthernetCrc32(data.data() + start, 1514), bytewise(data.data() + start, 1514));
  }
}

}  // namespace
