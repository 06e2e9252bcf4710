// NDIS's hang check of a running adapter: the period the miniport asked for
// (two seconds by default), the check-for-hang handler at DISPATCH_LEVEL, a
// reset when it answers TRUE, and the send and request time-outs that the
// attribute flags switch off.
#include "fake_miniport.h"

namespace host_ndis_test {
namespace {

using host::kMillisecond;
using host::kSecond;

class HangCheckTest : public FakeMiniportTest {
 protected:
  void RunFor(host::Nanoseconds d) { scheduler().run_for(d); }
};

TEST_F(HangCheckTest, CalledEveryPeriodAtDispatchLevel) {
  fake::behaviour.hang_seconds = 3;
  fake::behaviour.check_for_hang = [] { return FALSE; };
  start();
  const host::Nanoseconds started = scheduler().now();
  RunFor(10 * kSecond);
  ASSERT_EQ(fake::observed.hang_checks.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(fake::observed.hang_checks[i] - started, (i + 1) * 3 * kSecond);
  EXPECT_EQ(fake::observed.hang_check_irql, DISPATCH_LEVEL);
  EXPECT_EQ(fake::observed.resets, 0);
  EXPECT_EQ(adapter().hang_checks(), 3u);
}

TEST_F(HangCheckTest, ZeroMeansTheTwoSecondDefault) {
  fake::behaviour.check_for_hang = [] { return FALSE; };
  start();
  RunFor(9 * kSecond);
  EXPECT_EQ(fake::observed.hang_checks.size(), 4u);
}

TEST_F(HangCheckTest, AHangAnswerIsResetAtDispatchLevel) {
  int answers = 0;
  fake::behaviour.hang_seconds = 4;
  fake::behaviour.check_for_hang = [&] { return ++answers == 2 ? TRUE : FALSE; };
  start();
  RunFor(7 * kSecond);
  EXPECT_EQ(fake::observed.resets, 0);
  RunFor(2 * kSecond);
  EXPECT_EQ(fake::observed.resets, 1);
  EXPECT_EQ(fake::observed.reset_irql, DISPATCH_LEVEL);
  EXPECT_EQ(adapter().hang_resets(), 1u);
  ASSERT_EQ(protocol().resets().size(), 1u);
  RunFor(8 * kSecond);
  EXPECT_EQ(fake::observed.resets, 1);
}

// Every reset, the protocol's own and the one NDIS makes for a hang, is
// announced to the bound protocol before the reset handler runs and again
// when it has ended, before the reset completion.
TEST_F(HangCheckTest, EveryResetIsAnnouncedToTheProtocolAtItsStartAndEnd) {
  bool hung = false;
  fake::behaviour.check_for_hang = [&] { return hung ? TRUE : FALSE; };
  std::vector<NDIS_STATUS> seen_in_handler;
  fake::behaviour.on_reset = [&] {
    const auto last = protocol().last_status();
    seen_in_handler.push_back(last ? last->code : 0);
  };
  start();
  auto codes = [&] {
    std::vector<NDIS_STATUS> out;
    for (const auto& s : protocol().statuses())
      out.push_back(s.code);
    return out;
  };
  EXPECT_EQ(protocol().reset(), NDIS_STATUS_SUCCESS);
  hung = true;
  EXPECT_TRUE(adapter().check_for_hang());
  EXPECT_EQ(adapter().hang_resets(), 1u);
  EXPECT_EQ(codes(), (std::vector<NDIS_STATUS>{NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_END,
                                               NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_END}));
  EXPECT_EQ(seen_in_handler,
            (std::vector<NDIS_STATUS>{NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_START}));
  EXPECT_EQ(protocol().status_completes().size(), 4u);
  EXPECT_EQ(protocol().resets().size(), 2u);
}

TEST_F(HangCheckTest, NoCheckAfterHalt) {
  fake::behaviour.check_for_hang = [] { return TRUE; };
  start();
  RunFor(3 * kSecond);
  adapter().halt();
  const size_t checks = fake::observed.hang_checks.size();
  RunFor(10 * kSecond);
  EXPECT_EQ(fake::observed.hang_checks.size(), checks);
}

// A harness may make the check at once instead of waiting out the period:
// the same call at DISPATCH_LEVEL and the same reset, the periodic check
// going on as before, and no call after halt.
TEST_F(HangCheckTest, ACheckMadeNowActsAsThePeriodicOne) {
  bool hung = false;
  fake::behaviour.hang_seconds = 4;
  fake::behaviour.check_for_hang = [&] { return hung ? TRUE : FALSE; };
  start();
  EXPECT_FALSE(adapter().check_for_hang());
  ASSERT_EQ(fake::observed.hang_checks.size(), 1u);
  EXPECT_EQ(fake::observed.hang_check_irql, DISPATCH_LEVEL);
  EXPECT_EQ(fake::observed.resets, 0);

  hung = true;
  EXPECT_TRUE(adapter().check_for_hang());
  EXPECT_EQ(fake::observed.resets, 1);
  EXPECT_EQ(fake::observed.reset_irql, DISPATCH_LEVEL);
  EXPECT_EQ(adapter().hang_resets(), 1u);
  EXPECT_EQ(adapter().hang_checks(), 2u);

  hung = false;
  RunFor(4 * kSecond);
  EXPECT_EQ(fake::observed.hang_checks.size(), 3u);
  adapter().halt();
  EXPECT_FALSE(adapter().check_for_hang());
  EXPECT_EQ(fake::observed.hang_checks.size(), 3u);
}

// Without a hang answer NDIS still resets an adapter that sits on a send or
// a request for two periods, unless told to ignore such time-outs.
struct TimeoutCase {
  bool pend_send;
  ULONG flags;
  bool reset_expected;
};

class HangTimeoutTest : public HangCheckTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(HangTimeoutTest, HeldSendsAndRequestsResetUnlessIgnored) {
  const TimeoutCase c = GetParam();
  fake::behaviour.attribute_flags = NDIS_ATTRIBUTE_DESERIALIZE | c.flags;
  start();
  std::shared_ptr<host::ndis::Request> request;
  if (c.pend_send) {
    fake::behaviour.send_mode = fake::SendMode::Pend;
    std::vector<uint8_t> frame(60, 0xAB);
    protocol().send(frame);
  } else {
    fake::behaviour.pend_queries = true;
    request = adapter().query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
  }
  // Checks at 2 s and 4 s: held for one period, then for two.
  RunFor(3 * kSecond);
  EXPECT_EQ(fake::observed.resets, 0);
  RunFor(1 * kSecond);
  EXPECT_EQ(fake::observed.resets, c.reset_expected ? 1 : 0);
  // Let the adapter halt.
  if (c.pend_send) {
    PNDIS_PACKET packet = fake().pending_sends[0];
    at_dispatch([&] { NdisMSendComplete(fake().handle, packet, NDIS_STATUS_SUCCESS); });
  } else {
    at_dispatch([&] { fake::complete_pending_query(fake().handle); });
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HangTimeoutTest,
    ::testing::Values(TimeoutCase{true, 0, true},
                      TimeoutCase{true, NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT, false},
                      TimeoutCase{true, NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT, true},
                      TimeoutCase{false, 0, true},
                      TimeoutCase{false, NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT, false},
                      TimeoutCase{false, NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT, true}));

}  // namespace
}  // namespace host_ndis_test
