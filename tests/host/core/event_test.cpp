// Kernel events and waits with timeouts in virtual time.
#include <cstring>

#include "test_support.h"

namespace {

using host::kMillisecond;
using host::RunLevel;
using host_test::KernelTest;

LARGE_INTEGER relative_ms(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

class EventTest : public KernelTest {
 protected:
  void set_event_after(KEVENT* e, host::Nanoseconds delay) {
    scheduler().schedule_after(
        delay, RunLevel::Dispatch, [e] { KeSetEvent(e, 0, FALSE); }, "set");
  }
  KEVENT event_;
};

TEST_F(EventTest, WaitTimesOutAfterTheRelativeTimeout) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = relative_ms(250);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(scheduler().now(), 250 * kMillisecond);
}

TEST_F(EventTest, WaitEndsWhenAnEventSetsIt) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  set_event_after(&event_, 40 * kMillisecond);
  LARGE_INTEGER timeout = relative_ms(1000);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(scheduler().now(), 40 * kMillisecond);
  // A notification event stays signalled.
  EXPECT_EQ(KeReadStateEvent(&event_), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

TEST_F(EventTest, WaitWithoutTimeoutWaitsForTheEvent) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  set_event_after(&event_, 3 * host::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(scheduler().now(), 3 * host::kSecond);
}

TEST_F(EventTest, AbsoluteTimeoutIsMeasuredFromTheClockOrigin) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  scheduler().run_for(10 * kMillisecond);
  LARGE_INTEGER deadline;
  deadline.QuadPart = 25 * 10000;  // 25 ms in 100 ns units
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &deadline),
            STATUS_TIMEOUT);
  EXPECT_EQ(scheduler().now(), 25 * kMillisecond);
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaitAndResets) {
  KeInitializeEvent(&event_, SynchronizationEvent, TRUE);
  LARGE_INTEGER timeout = relative_ms(5);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event_), 0);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

TEST_F(EventTest, SetClearResetReportThePreviousState) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event_, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event_, 0, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event_), 1);
  EXPECT_EQ(KeResetEvent(&event_), 0);
  KeSetEvent(&event_, 0, FALSE);
  KeClearEvent(&event_);
  EXPECT_EQ(KeReadStateEvent(&event_), 0);
}

TEST_F(EventTest, ZeroTimeoutPollIsAllowedAtDispatch) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event_, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KfLowerIrql(old);
  EXPECT_EQ(scheduler().now(), 0u);
}

TEST_F(EventTest, WaitingAtDispatchIsABugCheck) {
  allow_leaks();
  KeInitializeEvent(&event_, NotificationEvent, TRUE);
  LARGE_INTEGER timeout = relative_ms(1);
  KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout),
                   "WAIT_AT_RAISED_IRQL");
  KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(EventTest, WaitingFromATimerRoutineIsABugCheck) {
  allow_leaks();
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch,
      [&] {
        LARGE_INTEGER t = relative_ms(10);
        KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &t);
      },
      "timer routine");
  EXPECT_BUG_CHECK(scheduler().run_for(10 * kMillisecond), "WAIT_AT_RAISED_IRQL");
}

TEST_F(EventTest, WaitingWithInterruptsOffIsABugCheck) {
  allow_leaks();
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = relative_ms(1);
  _disable();
  EXPECT_BUG_CHECK(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout),
                   "WAIT_AT_RAISED_IRQL");
  _enable();
}

TEST_F(EventTest, UninitializedEventIsABugCheck) {
  allow_leaks();
  KEVENT garbage;
  std::memset(&garbage, 0x5A, sizeof garbage);
  EXPECT_BUG_CHECK(KeSetEvent(&garbage, 0, FALSE), "INVALID_DISPATCHER_OBJECT");
}

}  // namespace
