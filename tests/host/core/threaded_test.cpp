// Threaded mode: worker threads as processors, real spin locks, events that
// cross threads, and bug checks raised on a worker reaching the test.
#include <atomic>
#include <chrono>
#include <thread>

#include "test_support.h"

namespace {

using host::kMillisecond;
using host::RunLevel;
using host_test::KernelTest;
using Clock = std::chrono::steady_clock;

class ThreadedTest : public KernelTest {
 protected:
  host::KernelOptions options() const override {
    host::KernelOptions o;
    o.mode = host::Mode::Threaded;
    o.processors = 2;
    return o;
  }
};

TEST_F(ThreadedTest, SpinLockSerializesProcessors) {
  ASSERT_EQ(scheduler().mode(), host::Mode::Threaded);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // guarded by lock, deliberately not atomic
  constexpr int kRounds = 20000;
  auto hammer = [&] {
    for (int i = 0; i < kRounds; ++i) {
      KefAcquireSpinLockAtDpcLevel(&lock);
      ++counter;
      KefReleaseSpinLockFromDpcLevel(&lock);
    }
  };
  scheduler().schedule_after(0, RunLevel::Dispatch, hammer, "cpu a");
  scheduler().schedule_after(0, RunLevel::Dispatch, hammer, "cpu b");
  for (int i = 0; i < kRounds; ++i) {  // the test thread joins in at PASSIVE_LEVEL
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    ++counter;
    KeReleaseSpinLock(&lock, old);
  }
  EXPECT_TRUE(scheduler().run_until_idle(10 * host::kSecond));
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(counter, 3 * kRounds);
  KeReleaseSpinLock(&lock, old);
}

TEST_F(ThreadedTest, IrqlBelongsToEachProcessor) {
  std::atomic<bool> raised{false}, release{false};
  std::atomic<int> worker_irql{-1};
  scheduler().schedule_after(
      0, RunLevel::Passive,
      [&] {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        worker_irql = KeGetCurrentIrql();
        raised = true;
        while (!release)
          std::this_thread::yield();
        KfLowerIrql(old);
      },
      "raiser");
  while (!raised)
    std::this_thread::yield();
  EXPECT_EQ(worker_irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  release = true;
  EXPECT_TRUE(scheduler().run_until_idle(5 * host::kSecond));
}

TEST_F(ThreadedTest, EventSetOnAWorkerWakesTheWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  // The 10 ms run from the scheduling: the clock starts before it, or a
  // thread preempted between the two sees a shorter wait.
  auto start = Clock::now();
  scheduler().schedule_after(
      10 * kMillisecond, RunLevel::Dispatch, [&] { KeSetEvent(&event, 0, FALSE); }, "setter");
  LARGE_INTEGER timeout;
  timeout.QuadPart = -5LL * 1000 * 10000;  // 5 s
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(9));
  EXPECT_LT(waited, std::chrono::seconds(4));
  EXPECT_EQ(KeReadStateEvent(&event), 0);  // consumed by the waiter
}

TEST_F(ThreadedTest, WaitTimesOutInRealTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -20LL * 10000;  // 20 ms
  auto start = Clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(19));
}

TEST_F(ThreadedTest, BugCheckOnAWorkerSurfacesInTheTest) {
  allow_leaks();
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  scheduler().schedule_after(
      0, RunLevel::Dispatch, [&] { KefReleaseSpinLockFromDpcLevel(&lock); }, "bad release");
  EXPECT_BUG_CHECK(scheduler().run_until_idle(5 * host::kSecond), "SPINLOCK_NOT_OWNED");
}

class ScaledTimeTest : public KernelTest {
 protected:
  host::KernelOptions options() const override {
    host::KernelOptions o;
    o.mode = host::Mode::Threaded;
    o.processors = 1;
    o.time_scale = 100.0;  // 100 virtual ns per real ns
    return o;
  }
};

TEST_F(ScaledTimeTest, VirtualSecondsPassInRealMilliseconds) {
  std::atomic<bool> ran{false};
  scheduler().schedule_after(
      2 * host::kSecond, RunLevel::Dispatch, [&] { ran = true; }, "late");
  auto start = Clock::now();
  EXPECT_TRUE(scheduler().run_until_idle(10 * host::kSecond));
  EXPECT_TRUE(ran);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_GE(scheduler().now(), 2 * host::kSecond);
}

}  // namespace
