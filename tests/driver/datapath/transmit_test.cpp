// Transmit path: framing on the bulk-out pipe, what reaches the wire, send
// completions, queueing behind the transfer in flight, and the failure paths.
#include <gtest/gtest.h>

#include "datapath_bench.h"

namespace usbeth::test {
namespace {

constexpr NDIS_STATUS kPending = NDIS_STATUS_PENDING;

class TransmitTest : public ::testing::Test {
 protected:
  DatapathBench bench_;

  uint64_t Send(const std::vector<uint8_t>& frame, const std::vector<size_t>& split = {}) {
    return bench_.protocol().send(frame, split, host::ndis::CallOptions{DISPATCH_LEVEL});
  }
  NDIS_STATUS SendStatus(uint64_t id) { return bench_.protocol().send_status(id); }
  std::vector<std::vector<uint8_t>> WireFrames() {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& f : bench_.board().frames_sent_to_partner())
      frames.push_back(f.bytes);
    return frames;
  }
  size_t Completions(NDIS_STATUS status) {
    size_t n = 0;
    for (auto& c : bench_.protocol().send_completions())
      n += c.status == status;
    return n;
  }
  void HoldBulkOut() {
    bench_.interposer().rule = [](const BulkTransfer& t) {
      return t.in ? BulkAction::Forward : BulkAction::Hold;
    };
  }
};

TEST_F(TransmitTest, FramesReachTheWireByteForByteWithPrefixPaddingAndZeroLengthTransfers) {
  const size_t sizes[] = {14, 15,  42,  57,  58,  59,   60,   61,  62,
                          63, 100, 126, 127, 190, 1000, 1513, 1514};
  std::vector<std::vector<uint8_t>> sent;
  for (size_t size : sizes) {
    sent.push_back(bench_.FrameToPartner(size, static_cast<uint8_t>(size)));
    EXPECT_EQ(kPending, SendStatus(Send(sent.back()))) << size;
  }
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  EXPECT_EQ(sent.size(), Completions(NDIS_STATUS_SUCCESS));

  // The device saw each frame behind its length prefix, padded to 60, and a
  // zero-length transfer right after every transfer of a multiple of 64.
  std::vector<BulkTransfer> out = bench_.DataBulkOut();
  size_t at = 0;
  for (const auto& frame : sent) {
    ASSERT_LT(at, out.size());
    const size_t expected_length = std::max<size_t>(frame.size() + 2, 60);
    EXPECT_EQ(expected_length, out[at].length) << frame.size();
    EXPECT_EQ(frame.size() & 0xFF, out[at].bytes[0]);
    EXPECT_EQ(frame.size() >> 8, out[at].bytes[1]);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), out[at].bytes.begin() + 2));
    at++;
    if ((frame.size() + 2) % 64 == 0) {
      ASSERT_LT(at, out.size());
      EXPECT_EQ(0u, out[at].length) << "zero-length transfer after " << frame.size();
      at++;
    }
  }
  EXPECT_EQ(out.size(), at);
  // Each zero-length transfer ended its frame's transfer; none stood alone.
  EXPECT_EQ(sent.size(), bench_.board().counters().tx_transfers);
  EXPECT_EQ(0u, bench_.board().counters().tx_zero_length_transfers);

  // The wire carries exactly the frames, short ones padded by the MAC.
  std::vector<std::vector<uint8_t>> wire = WireFrames();
  ASSERT_EQ(sent.size(), wire.size());
  for (size_t i = 0; i < sent.size(); i++) {
    ASSERT_GE(wire[i].size(), sent[i].size());
    EXPECT_TRUE(std::equal(sent[i].begin(), sent[i].end(), wire[i].begin())) << sent[i].size();
  }
  EXPECT_EQ(0u, bench_.board().counters().tx_trailing_discarded);
  EXPECT_EQ(sent.size() - 0, bench_.adapter()->Statistics.TxGoodFrames);
}

TEST_F(TransmitTest, BuffersOfAChainAreCopiedInOrder) {
  std::vector<uint8_t> frame = bench_.FrameToPartner(300, 9);
  EXPECT_EQ(kPending, SendStatus(Send(frame, {1, 0, 13, 100, 0, 7})));
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  ASSERT_EQ(1u, WireFrames().size());
  EXPECT_EQ(frame, WireFrames()[0]);
}

TEST_F(TransmitTest, PaddingIsWhateverTheBufferLastHeld) {
  // Fill every descriptor buffer with a long frame, then send a short one.
  std::vector<uint8_t> long_frame = bench_.FrameToPartner(1514, 0x55);
  for (ULONG i = 0; i < bench_.adapter()->TxDescriptorCount; i++)
    Send(long_frame);
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  TransferDescriptor* next = bench_.adapter()->TxFreeQueue.Front;
  std::vector<uint8_t> before(next->Buffer + 44, next->Buffer + 60);
  Send(bench_.FrameToPartner(42, 1));
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  BulkTransfer last = bench_.DataBulkOut().back();
  ASSERT_EQ(60u, last.length);
  EXPECT_EQ(0x2A, last.bytes[0]);
  EXPECT_EQ(0x00, last.bytes[1]);
  EXPECT_EQ(before, std::vector<uint8_t>(last.bytes.begin() + 44, last.bytes.end()));
}

TEST_F(TransmitTest, PacketsOutsideFrameSizesAreRefusedWithoutTouchingTheBus) {
  for (size_t size :
       {size_t{0}, size_t{13}, size_t{1515}, size_t{1534}, size_t{1600}, size_t{4000}}) {
    EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(size)))) << size;
  }
  EXPECT_TRUE(bench_.DataBulkOut().empty());
  EXPECT_EQ(0u, Completions(NDIS_STATUS_SUCCESS));
  EXPECT_TRUE(bench_.TxIdle());
  // The adapter goes on sending normally.
  EXPECT_EQ(kPending, SendStatus(Send(bench_.FrameToPartner(1514))));
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  EXPECT_EQ(1u, WireFrames().size());
}

TEST_F(TransmitTest, SendsQueueBehindTheTransferInFlightAndGoDownInOrder) {
  HoldBulkOut();
  for (uint8_t i = 0; i < 3; i++)
    EXPECT_EQ(kPending, SendStatus(Send(bench_.FrameToPartner(100, i))));
  // Completed to NDIS at once, one transfer at the bus, two queued.
  EXPECT_EQ(3u, Completions(NDIS_STATUS_SUCCESS));
  EXPECT_EQ(1u, bench_.DataBulkOut().size());
  EXPECT_EQ(3, bench_.adapter()->TxIrpsOutstanding);
  for (size_t n = 2; n <= 3; n++) {
    ASSERT_TRUE(bench_.interposer().complete_held(STATUS_SUCCESS));
    EXPECT_EQ(n, bench_.DataBulkOut().size());
  }
  ASSERT_TRUE(bench_.interposer().complete_held(STATUS_SUCCESS));
  EXPECT_EQ(0, bench_.adapter()->TxIrpsOutstanding);
  std::vector<BulkTransfer> out = bench_.DataBulkOut();
  for (uint8_t i = 0; i < 3; i++) {
    EXPECT_EQ(bench_.FrameToPartner(100, i),
              std::vector<uint8_t>(out[i].bytes.begin() + 2, out[i].bytes.begin() + 102));
  }
  EXPECT_TRUE(bench_.TxIdle());
}

// The driver answers NDIS_STATUS_RESOURCES when no descriptor is free; NDIS
// keeps the packet (the protocol sees it pend) and gives it to the driver
// again once a returned descriptor has armed the receive-indication timer and
// its routine has returned.
TEST_F(TransmitTest, NoFreeDescriptorRefusesTheSendUntilADescriptorComesBack) {
  HoldBulkOut();
  const ULONG count = bench_.adapter()->TxDescriptorCount;
  for (ULONG i = 0; i < count; i++)
    EXPECT_EQ(kPending, SendStatus(Send(bench_.FrameToPartner(80))));
  const uint64_t refused = Send(bench_.FrameToPartner(80, 0x55));
  EXPECT_EQ(kPending, SendStatus(refused));
  EXPECT_EQ(1u, bench_.miniport().sends_refused());
  EXPECT_EQ(1u, bench_.miniport().sends_queued());
  EXPECT_EQ(1, bench_.adapter()->TxStarved);
  EXPECT_EQ(count, bench_.adapter()->TxIrpsOutstanding);
  EXPECT_EQ(count, Completions(NDIS_STATUS_SUCCESS));
  while (bench_.interposer().complete_held(STATUS_SUCCESS)) {
  }
  ASSERT_TRUE(bench_.RunUntil(
      [&] {
        while (bench_.interposer().complete_held(STATUS_SUCCESS)) {
        }
        return bench_.TxIdle() && bench_.miniport().sends_queued() == 0;
      },
      2 * host::kSecond));
  std::vector<BulkTransfer> out = bench_.DataBulkOut();
  ASSERT_EQ(count + 1, out.size());
  EXPECT_EQ(bench_.FrameToPartner(80, 0x55),
            std::vector<uint8_t>(out.back().bytes.begin() + 2, out.back().bytes.begin() + 82));
  EXPECT_EQ(count + 1, Completions(NDIS_STATUS_SUCCESS));
  EXPECT_EQ(1u, bench_.miniport().sends_refused());
}

TEST_F(TransmitTest, ZeroLengthTransferWithoutDescriptorRefusesTheFrameUntilTwoAreFree) {
  HoldBulkOut();
  const ULONG count = bench_.adapter()->TxDescriptorCount;
  for (ULONG i = 0; i + 1 < count; i++)
    Send(bench_.FrameToPartner(80));
  ASSERT_EQ(1, bench_.adapter()->TxFreeQueue.Count);
  // A 62-byte frame needs two descriptors: the driver refuses it whole and
  // submits nothing; NDIS keeps it.
  uint64_t refused = Send(bench_.FrameToPartner(62, 0x62));
  EXPECT_EQ(kPending, SendStatus(refused));
  EXPECT_EQ(1u, bench_.miniport().sends_refused());
  EXPECT_EQ(1, bench_.adapter()->TxFreeQueue.Count);
  EXPECT_EQ(static_cast<LONG>(count - 1), bench_.adapter()->TxIrpsOutstanding);
  EXPECT_EQ(0, bench_.adapter()->TxZeroLengthPending);
  // The next packet waits behind it, in order, without reaching the driver.
  uint64_t next = Send(bench_.FrameToPartner(42, 0x42));
  EXPECT_EQ(kPending, SendStatus(next));
  EXPECT_EQ(2u, bench_.miniport().sends_queued());
  EXPECT_EQ(1u, bench_.miniport().sends_refused());
  bench_.interposer().rule = nullptr;
  while (bench_.interposer().complete_held(STATUS_SUCCESS)) {
  }
  ASSERT_TRUE(bench_.RunUntil(
      [&] { return bench_.TxIdle() && bench_.miniport().sends_queued() == 0; }, 2 * host::kSecond));
  std::vector<std::vector<uint8_t>> wire = WireFrames();
  // The transfer held first was completed by the test, not by the device.
  ASSERT_EQ(count, wire.size());
  EXPECT_EQ(bench_.FrameToPartner(62, 0x62), wire[count - 2]);
  EXPECT_EQ(bench_.FrameToPartner(42, 0x42),
            std::vector<uint8_t>(wire.back().begin(), wire.back().begin() + 42));
  // Its zero-length transfer follows it, before the frame behind it.
  std::vector<BulkTransfer> out = bench_.DataBulkOut();
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(64u, out[out.size() - 3].length);
  EXPECT_EQ(0u, out[out.size() - 2].length);
  EXPECT_EQ(60u, out.back().length);
  EXPECT_EQ(count + 1, Completions(NDIS_STATUS_SUCCESS));
}

TEST_F(TransmitTest, RefusedTransferFailsTheSendReturnsItsDescriptorOnceAndStopsLaterSends) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::FailInline;
  };
  TransferDescriptor* first = bench_.adapter()->TxFreeQueue.Front;
  EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(100))));
  EXPECT_EQ(kStateUsbFailure, bench_.adapter()->AdapterState);
  EXPECT_TRUE(bench_.TxIdle());  // returned by the completion, not put back twice
  EXPECT_EQ(0u, Completions(NDIS_STATUS_SUCCESS));
  // Every later send fails before the bus, and the descriptor it took is the
  // next one taken.
  TransferDescriptor* front = bench_.adapter()->TxFreeQueue.Front;
  EXPECT_NE(first, front);
  EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(100))));
  EXPECT_EQ(front, bench_.adapter()->TxFreeQueue.Front);
  EXPECT_EQ(1u, bench_.DataBulkOut().size());
}

TEST_F(TransmitTest, RefusedFrameWithZeroLengthTransferReturnsBothDescriptorsOnce) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::FailInline;
  };
  EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(126))));
  EXPECT_TRUE(bench_.TxIdle());
  EXPECT_EQ(0u, Completions(NDIS_STATUS_SUCCESS));
}

// A submission that fails before anything reaches the bus (no IRP for the
// frame, or none for its zero-length transfer) puts back every descriptor it
// took, at the front and in their order, and fails the send.
TEST_F(TransmitTest, SubmissionWithoutAnIrpPutsBackEveryDescriptorItTook) {
  struct Case {
    size_t frame;
    uint64_t failing_irp;  // 1: the frame's, 2: the zero-length transfer's
  };
  for (const Case& c : {Case{100, 1}, Case{62, 1}, Case{62, 2}}) {
    SCOPED_TRACE(c.frame * 10 + c.failing_irp);
    Adapter* a = bench_.adapter();
    const LONG free_before = a->TxFreeQueue.Count;
    TransferDescriptor* first = a->TxFreeQueue.Front;
    TransferDescriptor* second = first->Next;
    const size_t completions = bench_.protocol().send_completion_count();
    host::faults().fail_nth(host::FaultSite::IrpAllocation, c.failing_irp);
    EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(c.frame))));
    host::faults().reset();
    EXPECT_EQ(free_before, a->TxFreeQueue.Count);
    EXPECT_EQ(first, a->TxFreeQueue.Front);
    EXPECT_EQ(second, a->TxFreeQueue.Front->Next);
    EXPECT_EQ(0, a->TxIrpsOutstanding);
    EXPECT_EQ(0, a->TxZeroLengthPending);
    EXPECT_EQ(completions + 1, bench_.protocol().send_completion_count());
  }
  EXPECT_TRUE(bench_.DataBulkOut().empty());
  EXPECT_EQ(0, host::counters().irps_live - host::counters().irps_at_lower_driver);
  EXPECT_TRUE(bench_.TxIdle());
}

TEST_F(TransmitTest, CompletionInsideIofCallDriverFindsNoLockHeld) {
  bench_.interposer().rule = [](const BulkTransfer& t) {
    return t.in ? BulkAction::Forward : BulkAction::SucceedInline;
  };
  for (size_t size : {size_t{62}, size_t{100}, size_t{126}}) {
    EXPECT_EQ(kPending, SendStatus(Send(bench_.FrameToPartner(size))));
  }
  EXPECT_EQ(3u, Completions(NDIS_STATUS_SUCCESS));
  EXPECT_EQ(5u, bench_.DataBulkOut().size());
  EXPECT_TRUE(bench_.TxIdle());
  EXPECT_EQ(3u, bench_.adapter()->Statistics.TxGoodFrames);
}

TEST_F(TransmitTest, CompletionInsideIoCancelIrpWhenTheAdapterStoppedMeanwhile) {
  Adapter* adapter = bench_.adapter();
  // The adapter stops while the bus holds the frame: the driver cancels it,
  // and the cancellation completes it before IoCancelIrp returns.
  bench_.interposer().rule = [adapter](const BulkTransfer& t) {
    if (t.in) return BulkAction::Forward;
    adapter->AdapterState = kStateStopped;
    return BulkAction::Hold;
  };
  EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(126))));
  // Frame and zero-length transfer both went down and were cancelled.
  EXPECT_EQ(2u, bench_.DataBulkOut().size());
  EXPECT_EQ(0u, bench_.interposer().held_count());
  EXPECT_TRUE(bench_.TxIdle());
  EXPECT_EQ(0u, Completions(NDIS_STATUS_SUCCESS));
  adapter->AdapterState = kStateRunning;
}

TEST_F(TransmitTest, DescriptorPutBackAfterAFailedSubmissionIsTakenNext) {
  Adapter* adapter = bench_.adapter();
  TransferDescriptor* first = adapter->TxFreeQueue.Front;
  adapter->AdapterState = kStateInitializing;
  EXPECT_EQ(NDIS_STATUS_FAILURE, SendStatus(Send(bench_.FrameToPartner(100))));
  EXPECT_EQ(first, adapter->TxFreeQueue.Front);
  adapter->AdapterState = kStateRunning;
  EXPECT_EQ(kPending, SendStatus(Send(bench_.FrameToPartner(100))));
  ASSERT_TRUE(bench_.RunUntilTxIdle());
  // A completed descriptor goes to the back.
  EXPECT_EQ(first, adapter->TxFreeQueue.Back);
}

}  // namespace
}  // namespace usbeth::test
