// Threaded mode: worker threads as processors, real spin locks, events that
// cross threads, and bug checks raised on a worker reaching the test.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

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

// Workers are woken only for an event earlier than every one queued: events
// queued behind an earlier one, a timer moved earlier and events queued from
// several threads at once all still run on time, none early, none left.
TEST_F(ThreadedTest, EventsQueuedInAnyOrderRunOnTime) {
  auto ms_since = [](Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
  };
  // Both workers parked, then one waiting for an event 2 s away.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::atomic<bool> far_ran{false};
  scheduler().schedule_after(
      2000 * kMillisecond, RunLevel::Dispatch, [&] { far_ran = true; }, "far");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto start = Clock::now();
  std::atomic<double> near_at{-1}, behind_at{-1}, timer_at{-1};
  scheduler().schedule_after(
      10 * kMillisecond, RunLevel::Dispatch, [&] { near_at = ms_since(start); }, "near");
  // Behind the 10 ms one: no worker need be woken for it, yet it runs at 20 ms.
  scheduler().schedule_after(
      20 * kMillisecond, RunLevel::Dispatch, [&] { behind_at = ms_since(start); }, "behind");
  host::TimerId timer = scheduler().create_timer(
      RunLevel::Dispatch, [&] { timer_at = ms_since(start); }, "moved");
  scheduler().arm_timer(timer, scheduler().now() + 3000 * kMillisecond);
  scheduler().arm_timer(timer, scheduler().now() + 30 * kMillisecond);
  std::atomic<int> ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const host::Nanoseconds delay = ((t * 7 + i * 13) % 40) * kMillisecond / 10;
        scheduler().schedule_after(
            delay, RunLevel::Dispatch, [&] { ++ran; }, "burst");
      }
    });
  }
  for (auto& t : threads)
    t.join();
  // Everything but the far event is over long before it is due.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(far_ran.load());
  EXPECT_EQ(ran.load(), 600);
  EXPECT_GE(near_at.load(), 9.0);
  EXPECT_GE(behind_at.load(), 19.0);
  EXPECT_GE(timer_at.load(), 29.0);
  EXPECT_TRUE(scheduler().run_until_idle(10 * host::kSecond));
  EXPECT_TRUE(far_ran.load());
  scheduler().destroy_timer(timer);
}

// An event that waits for one due at the same time behind it: the other
// worker must take that one, though nothing was queued that would wake it
// (a worker already waited for that time when both were queued).
TEST_F(ThreadedTest, AnEventWaitingForTheNextOneDoesNotStallIt) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> waited{STATUS_PENDING};
  for (int round = 0; round < 10; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both workers parked
    KeClearEvent(&event);
    waited = STATUS_PENDING;
    const host::Nanoseconds at = scheduler().now() + 30 * kMillisecond;
    scheduler().schedule_at(
        at, RunLevel::Dispatch, [] {}, "opener");
    scheduler().schedule_at(
        at, RunLevel::Passive,
        [&] {
          LARGE_INTEGER timeout;
          timeout.QuadPart = -2LL * 1000 * 10000;  // 2 s
          waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "waiter");
    scheduler().schedule_at(
        at, RunLevel::Dispatch, [&] { KeSetEvent(&event, 0, FALSE); }, "setter");
    ASSERT_TRUE(scheduler().run_until_idle(10 * host::kSecond));
    ASSERT_EQ(waited.load(), STATUS_SUCCESS) << "round " << round;
  }
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
