// Receive path: frames from the wire to NDIS, the status trailer, transfers
// too short or too long to hold a frame, and how reception stops and resumes.
#include <gtest/gtest.h>

#include "datapath_bench.h"

namespace usbeth::test {
namespace {

class ReceiveTest : public ::testing::Test {
 protected:
  DatapathBench bench_;

  uint8_t Phy() { return bench_.board().first_phy_address(); }
  void FromPartner(const std::vector<uint8_t>& frame) {
    bench_.board().send_from_partner(Phy(), frame);
  }
  bool RunUntilReceived(size_t count) {
    return bench_.RunUntil([&] { return bench_.protocol().received_count() >= count; },
                           host::kSecond);
  }
  std::vector<std::vector<uint8_t>> Received() {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& r : bench_.protocol().received())
      frames.push_back(r.data);
    return frames;
  }
  // One read completes inside IofCallDriver with `bytes` (the rest of the
  // reads go to the device).
  void NextReadReturns(std::vector<uint8_t> bytes, ULONG claim = 0) {
    auto used = std::make_shared<bool>(false);
    bench_.interposer().inline_read_claim = claim;
    bench_.interposer().inline_read_data = [bytes] { return bytes; };
    bench_.interposer().rule = [used](const BulkTransfer& t) {
      if (!t.in || *used) return BulkAction::Forward;
      *used = true;
      return BulkAction::SucceedInline;
    };
  }
  // A bulk-in transfer as the device frames it: frame, 4 CRC bytes, and the
  // trailer with the length of frame and CRC (low byte first) and the status
  // byte. `length_error` is added to the length the trailer gives.
  static std::vector<uint8_t> Transfer(const std::vector<uint8_t>& frame, uint8_t status,
                                       int length_error = 0) {
    std::vector<uint8_t> t = frame;
    for (int i = 0; i < 4; i++)
      t.push_back(0xEE);
    const uint16_t length = static_cast<uint16_t>(frame.size() + 4 + length_error);
    t.insert(t.end(), {uint8_t(length), uint8_t(length >> 8), status, 0x00});
    return t;
  }
  ULONG FramingErrors() { return bench_.adapter()->Statistics.RxFramingErrors; }
  // Restarts reception the way a reset does once the state is running again.
  void Restart() {
    bench_.adapter()->AdapterState = kStateRunning;
    DatapathBench::AtDispatch([&] { NdisMSetTimer(&bench_.adapter()->RxIndicateTimer, 0); });
  }
};

TEST_F(ReceiveTest, FramesReachNdisByteForByteWithResourcesStatus) {
  std::vector<std::vector<uint8_t>> sent;
  for (size_t size : {size_t{60}, size_t{61}, size_t{64}, size_t{100}, size_t{511}, size_t{1000},
                      size_t{1513}, size_t{1514}}) {
    sent.push_back(bench_.FrameFromPartner(size, static_cast<uint8_t>(size)));
    FromPartner(sent.back());
    ASSERT_TRUE(RunUntilReceived(sent.size())) << size;
  }
  EXPECT_EQ(sent, Received());
  for (auto& r : bench_.protocol().received()) {
    EXPECT_EQ(NDIS_STATUS_RESOURCES, r.packet_status);
    EXPECT_EQ(14u, r.header_size);
    EXPECT_EQ(DISPATCH_LEVEL, r.irql);
  }
  EXPECT_EQ(sent.size(), bench_.adapter()->Statistics.RxGoodFrames);
}

TEST_F(ReceiveTest, BurstArrivesInOrder) {
  std::vector<std::vector<uint8_t>> sent;
  // Within the device's receive FIFO, so nothing is lost before the driver.
  for (uint8_t i = 0; i < 12; i++) {
    sent.push_back(bench_.FrameFromPartner(60 + i * 40, i));
    FromPartner(sent.back());
  }
  ASSERT_TRUE(RunUntilReceived(sent.size()));
  EXPECT_EQ(sent, Received());
}

TEST_F(ReceiveTest, StatusBitsDropFramesAndCountCrcErrors) {
  struct Case {
    uint8_t bits;
    bool indicated;
    ULONG crc_errors;
  };
  const Case cases[] = {{0x08, false, 1}, {0x06, false, 0}, {0x10, false, 0}, {0x02, false, 0},
                        {0x04, false, 0}, {0x01, true, 0},  {0x20, true, 0},  {0x40, true, 0}};
  for (const Case& c : cases) {
    const size_t before = bench_.protocol().received_count();
    const ULONG crc_before = bench_.adapter()->Statistics.RxCrcErrors;
    NextReadReturns(Transfer(bench_.FrameFromPartner(60, c.bits), c.bits));
    // The read outstanding completes first; the next one is the scripted one.
    FromPartner(bench_.FrameFromPartner(60));
    ASSERT_TRUE(RunUntilReceived(before + 1));
    bench_.RunFor(10 * host::kMillisecond);
    EXPECT_EQ(before + 1 + (c.indicated ? 1 : 0), bench_.protocol().received_count())
        << int(c.bits);
    EXPECT_EQ(crc_before + c.crc_errors, bench_.adapter()->Statistics.RxCrcErrors) << int(c.bits);
  }
  // Reception goes on.
  FromPartner(bench_.FrameFromPartner(80, 0x80));
  const size_t before = bench_.protocol().received_count();
  ASSERT_TRUE(RunUntilReceived(before + 1));
  EXPECT_EQ(bench_.FrameFromPartner(80, 0x80), Received().back());
}

TEST_F(ReceiveTest, CrcErrorOnTheWireIsCountedNotIndicated) {
  bench_.board().inject_crc_errors(1);
  FromPartner(bench_.FrameFromPartner(100, 1));
  FromPartner(bench_.FrameFromPartner(100, 2));
  ASSERT_TRUE(RunUntilReceived(1));
  bench_.RunFor(10 * host::kMillisecond);
  EXPECT_EQ(std::vector<std::vector<uint8_t>>{bench_.FrameFromPartner(100, 2)}, Received());
  EXPECT_EQ(1u, bench_.adapter()->Statistics.RxCrcErrors);
  EXPECT_EQ(1u, bench_.adapter()->Statistics.RxGoodFrames);
}

TEST_F(ReceiveTest, TransfersHoldingNoWholeFrameAreReceiveErrorsAndReadingGoesOn) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    ULONG claim;
    ULONG framing_errors;
    ULONG crc_errors;
  };
  const std::vector<Case> cases = {
      {"no bytes", {}, 0, 0, 0},
      {"one byte", {0x00}, 0, 0, 0},
      {"two bytes, clear status", {0x00, 0x00}, 0, 1, 0},
      {"two bytes, CRC bit", {0x08, 0x00}, 0, 0, 1},
      {"7 bytes, clear status", {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00}, 0, 1, 0},
      {"7 bytes, CRC bit", {0x11, 0x22, 0x33, 0x44, 0x00, 0x08, 0x00}, 0, 0, 1},
      {"7 bytes, runt bit", {0x11, 0x22, 0x33, 0x44, 0x00, 0x02, 0x00}, 0, 0, 0},
      {"an empty frame", Transfer({}, 0), 0, 1, 0},
      {"1-byte frame", Transfer({0x5A}, 0), 0, 1, 0},
      {"13-byte frame", Transfer(std::vector<uint8_t>(13, 0x5A), 0), 0, 1, 0},
      {"longer than a frame", Transfer(std::vector<uint8_t>(1515, 0x5A), 0), 0, 1, 0},
      {"more than the buffer holds", Transfer(std::vector<uint8_t>(100, 0x5A), 0), 4000, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = bench_.protocol().received_count();
    const ULONG good_before = bench_.adapter()->Statistics.RxGoodFrames;
    const ULONG framing_before = FramingErrors();
    const ULONG crc_before = bench_.adapter()->Statistics.RxCrcErrors;
    NextReadReturns(c.bytes, c.claim);
    FromPartner(bench_.FrameFromPartner(60, 1));
    ASSERT_TRUE(RunUntilReceived(before + 1));
    // The scripted read follows; a real frame after it shows reading goes on.
    FromPartner(bench_.FrameFromPartner(61, 2));
    ASSERT_TRUE(RunUntilReceived(before + 2));
    EXPECT_EQ(bench_.FrameFromPartner(61, 2), Received().back());
    EXPECT_EQ(before + 2, bench_.protocol().received_count());
    EXPECT_EQ(good_before + 2, bench_.adapter()->Statistics.RxGoodFrames);
    EXPECT_EQ(framing_before + c.framing_errors, FramingErrors());
    EXPECT_EQ(crc_before + c.crc_errors, bench_.adapter()->Statistics.RxCrcErrors);
  }
}

TEST_F(ReceiveTest, OnlyFramesWhoseTrailerAgreesWithTheTransferAreIndicated) {
  const std::vector<uint8_t> a = bench_.FrameFromPartner(60, 0xA);
  const std::vector<uint8_t> b = bench_.FrameFromPartner(90, 0xB);
  std::vector<uint8_t> two = Transfer(a, 0);  // two frames run together:
  const std::vector<uint8_t> second = Transfer(b, 0);
  two.insert(two.end(), second.begin(), second.end());  // the trailer is the second's
  std::vector<uint8_t> glued(23, 0x77);                 // the rest of a babbled transfer in front
  const std::vector<uint8_t> whole = Transfer(b, 0);
  glued.insert(glued.end(), whole.begin(), whole.end());
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool indicated;
  };
  const std::vector<Case> cases = {
      {"14-byte frame", Transfer(std::vector<uint8_t>(14, 0x33), 0), true},
      {"trailer one short", Transfer(a, 0, -1), false},
      {"trailer one long", Transfer(a, 0, +1), false},
      {"trailer counting the frame without its CRC", Transfer(a, 0, -4), false},
      {"two frames in one transfer", two, false},
      {"remainder glued onto a frame", glued, false},
      {"high bits of the length field set", Transfer(a, 0, 0x3000), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = bench_.protocol().received_count();
    const ULONG framing_before = FramingErrors();
    NextReadReturns(c.bytes);
    FromPartner(bench_.FrameFromPartner(60, 1));
    ASSERT_TRUE(RunUntilReceived(before + 1));
    FromPartner(bench_.FrameFromPartner(61, 2));
    ASSERT_TRUE(RunUntilReceived(before + 2 + (c.indicated ? 1 : 0)));
    bench_.RunFor(10 * host::kMillisecond);
    auto got = Received();
    ASSERT_EQ(before + 2 + (c.indicated ? 1 : 0), got.size());
    if (c.indicated) {
      const std::vector<uint8_t> frame(c.bytes.begin(), c.bytes.end() - 8);
      EXPECT_EQ(frame, got[before + 1]);
    }
    EXPECT_EQ(bench_.FrameFromPartner(61, 2), got.back());
    EXPECT_EQ(framing_before + (c.indicated ? 0 : 1), FramingErrors());
  }
}

TEST_F(ReceiveTest, ReadErrorStopsReceptionUntilRestarted) {
  auto failed = std::make_shared<bool>(false);
  bench_.interposer().rule = [failed](const BulkTransfer& t) {
    if (!t.in || *failed) return BulkAction::Forward;
    *failed = true;
    return BulkAction::FailInline;
  };
  // The outstanding read completes with a frame; the next read fails.
  FromPartner(bench_.FrameFromPartner(60, 1));
  ASSERT_TRUE(RunUntilReceived(1));
  bench_.RunFor(5 * host::kMillisecond);
  EXPECT_EQ(kStateUsbFailure, bench_.adapter()->AdapterState);
  // The indication found every descriptor free and started one read; it
  // completes in the failed state, discards its frame and starts nothing.
  FromPartner(bench_.FrameFromPartner(60, 2));
  bench_.RunFor(20 * host::kMillisecond);
  const size_t reads = bench_.interposer().bulk_in_count();
  FromPartner(bench_.FrameFromPartner(60, 3));
  bench_.RunFor(50 * host::kMillisecond);
  EXPECT_EQ(reads, bench_.interposer().bulk_in_count());
  EXPECT_EQ(1u, bench_.protocol().received_count());
  EXPECT_EQ(static_cast<LONG>(bench_.adapter()->RxDescriptorCount),
            bench_.adapter()->RxFreeQueue.Count);
  Restart();
  FromPartner(bench_.FrameFromPartner(60, 4));
  ASSERT_TRUE(RunUntilReceived(2));
  EXPECT_EQ(bench_.FrameFromPartner(60, 4), Received().back());
}

TEST_F(ReceiveTest, RestartedReadCompletingInlineDoesNotMeetRxLockHeld) {
  auto failed = std::make_shared<bool>(false);
  bench_.interposer().rule = [failed](const BulkTransfer& t) {
    if (!t.in || *failed) return BulkAction::Forward;
    *failed = true;
    return BulkAction::FailInline;
  };
  FromPartner(bench_.FrameFromPartner(60, 1));
  ASSERT_TRUE(RunUntilReceived(1));
  bench_.RunFor(5 * host::kMillisecond);
  ASSERT_EQ(kStateUsbFailure, bench_.adapter()->AdapterState);
  FromPartner(bench_.FrameFromPartner(60, 2));  // ends the read restarted in the failed state
  bench_.RunFor(20 * host::kMillisecond);
  ASSERT_EQ(static_cast<LONG>(bench_.adapter()->RxDescriptorCount),
            bench_.adapter()->RxFreeQueue.Count);
  // The read the indication routine starts completes inside IofCallDriver
  // with a frame, whose completion queues it under RxLock.
  std::vector<uint8_t> frame = bench_.FrameFromPartner(70, 7);
  NextReadReturns(Transfer(frame, 0));
  Restart();
  ASSERT_TRUE(RunUntilReceived(2));
  EXPECT_EQ(frame, Received().back());
}

TEST_F(ReceiveTest, ReadWithoutIrpIsRetriedAndReceptionResumes) {
  FromPartner(bench_.FrameFromPartner(60, 1));
  // The completion of the outstanding read finds no IRP for the next read.
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  ASSERT_TRUE(RunUntilReceived(1));
  host::faults().reset();
  FromPartner(bench_.FrameFromPartner(60, 2));
  ASSERT_TRUE(RunUntilReceived(2));
  EXPECT_EQ(bench_.FrameFromPartner(60, 2), Received().back());
}

TEST_F(ReceiveTest, ReadCompletingWhileNotRunningDiscardsItsData) {
  Adapter* adapter = bench_.adapter();
  adapter->AdapterState = kStateInitializing;
  FromPartner(bench_.FrameFromPartner(60, 1));
  bench_.RunFor(20 * host::kMillisecond);
  EXPECT_EQ(0u, bench_.protocol().received_count());
  EXPECT_EQ(static_cast<LONG>(adapter->RxDescriptorCount), adapter->RxFreeQueue.Count);
  Restart();
  FromPartner(bench_.FrameFromPartner(60, 2));
  ASSERT_TRUE(RunUntilReceived(1));
  EXPECT_EQ(bench_.FrameFromPartner(60, 2), Received().back());
}

}  // namespace
}  // namespace usbeth::test
