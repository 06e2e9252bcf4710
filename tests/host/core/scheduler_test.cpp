// The deterministic scheduler: time order, seed-decided ties, blocking waits
// that move the virtual clock, and the checks made around every event.
#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using host::kMillisecond;
using host::kSecond;
using host::RunLevel;
using host_test::KernelTest;

class SchedulerTest : public KernelTest {
 protected:
  // Queues `n` events for the same instant and returns the order they ran in.
  static std::vector<int> same_time_order(uint64_t seed, int n) {
    host::KernelOptions o;
    o.seed = seed;
    auto k = host::Kernel::create(o);
    std::vector<int> order;
    for (int i = 0; i < n; ++i) {
      k->scheduler().schedule_after(
          kMillisecond, RunLevel::Dispatch, [&order, i] { order.push_back(i); }, "tie");
    }
    k->scheduler().run_until_idle(kSecond);
    return order;
  }
};

TEST_F(SchedulerTest, RunsEventsInTimeOrderAndMovesTheClock) {
  std::vector<std::pair<int, host::Nanoseconds>> seen;
  auto record = [&](int i) { return [&, i] { seen.push_back({i, scheduler().now()}); }; };
  scheduler().schedule_after(3 * kMillisecond, RunLevel::Dispatch, record(3), "c");
  scheduler().schedule_after(1 * kMillisecond, RunLevel::Dispatch, record(1), "a");
  scheduler().schedule_after(2 * kMillisecond, RunLevel::Passive, record(2), "b");
  EXPECT_EQ(scheduler().pending_events(), 3u);
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(1, 1 * kMillisecond));
  EXPECT_EQ(seen[1], std::make_pair(2, 2 * kMillisecond));
  EXPECT_EQ(seen[2], std::make_pair(3, 3 * kMillisecond));
  EXPECT_EQ(scheduler().pending_events(), 0u);
}

TEST_F(SchedulerTest, RunForStopsAtItsDeadline) {
  int ran = 0;
  scheduler().schedule_after(
      5 * kMillisecond, RunLevel::Dispatch, [&] { ++ran; }, "early");
  scheduler().schedule_after(
      50 * kMillisecond, RunLevel::Dispatch, [&] { ++ran; }, "late");
  scheduler().run_for(10 * kMillisecond);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(scheduler().now(), 10 * kMillisecond);
  EXPECT_FALSE(scheduler().run_until_idle(20 * kMillisecond));
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(scheduler().now(), 50 * kMillisecond);
}

TEST_F(SchedulerTest, CancelledEventNeverRuns) {
  bool ran = false;
  host::EventId id = scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch, [&] { ran = true; }, "x");
  EXPECT_TRUE(scheduler().cancel(id));
  EXPECT_FALSE(scheduler().cancel(id));
  scheduler().run_until_idle(kSecond);
  EXPECT_FALSE(ran);
}

TEST_F(SchedulerTest, EventScheduledInThePastRunsNow) {
  scheduler().run_for(10 * kMillisecond);
  host::Nanoseconds ran_at = 0;
  scheduler().schedule_at(
      kMillisecond, RunLevel::Dispatch, [&] { ran_at = scheduler().now(); }, "past");
  scheduler().run_until_idle(kSecond);
  EXPECT_EQ(ran_at, 10 * kMillisecond);
}

TEST_F(SchedulerTest, SameSeedReplaysSameTimeOrder) {
  kernel_.reset();  // the helper creates its own kernels
  std::vector<int> first = same_time_order(42, 8);
  EXPECT_EQ(first, same_time_order(42, 8));
  std::set<std::vector<int>> orders;
  for (uint64_t seed = 1; seed <= 10; ++seed)
    orders.insert(same_time_order(seed, 8));
  EXPECT_GT(orders.size(), 1u) << "the seed never changes the order of simultaneous events";
  kernel_ = host::Kernel::create(options());
}

TEST_F(SchedulerTest, EventsRunAtTheirLevel) {
  KIRQL passive = 0xFF, dispatch = 0xFF;
  scheduler().schedule_after(
      0, RunLevel::Passive, [&] { passive = KeGetCurrentIrql(); }, "p");
  scheduler().schedule_after(
      0, RunLevel::Dispatch, [&] { dispatch = KeGetCurrentIrql(); }, "d");
  scheduler().run_until_idle(kSecond);
  EXPECT_EQ(passive, PASSIVE_LEVEL);
  EXPECT_EQ(dispatch, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SchedulerTest, SeedChoosesCompletionLevel) {
  std::set<KIRQL> levels;
  for (int i = 0; i < 32; ++i) {
    scheduler().schedule_after(
        0, RunLevel::AnyCompletionLevel, [&] { levels.insert(KeGetCurrentIrql()); }, "completion");
  }
  scheduler().run_until_idle(kSecond);
  EXPECT_EQ(levels, (std::set<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL}));
}

TEST_F(SchedulerTest, EventMayScheduleEvents) {
  std::vector<host::Nanoseconds> times;
  std::function<void()> tick = [&] {
    times.push_back(scheduler().now());
    if (times.size() < 4)
      scheduler().schedule_after(kMillisecond, RunLevel::Dispatch, tick, "tick");
  };
  scheduler().schedule_after(kMillisecond, RunLevel::Dispatch, tick, "tick");
  scheduler().run_until_idle(kSecond);
  EXPECT_EQ(times, (std::vector<host::Nanoseconds>{kMillisecond, 2 * kMillisecond, 3 * kMillisecond,
                                                   4 * kMillisecond}));
}

TEST_F(SchedulerTest, BlockUntilRunsDueEventsUntilReady) {
  bool flag = false;
  int other = 0;
  scheduler().schedule_after(
      2 * kMillisecond, RunLevel::Dispatch, [&] { ++other; }, "other");
  scheduler().schedule_after(
      7 * kMillisecond, RunLevel::Dispatch, [&] { flag = true; }, "flag");
  scheduler().schedule_after(
      9 * kMillisecond, RunLevel::Dispatch, [&] { ++other; }, "after");
  EXPECT_TRUE(scheduler().block_until([&] { return flag; }, 100 * kMillisecond));
  EXPECT_EQ(scheduler().now(), 7 * kMillisecond);
  EXPECT_EQ(other, 1);  // the 9 ms event stays queued
  EXPECT_EQ(scheduler().pending_events(), 1u);
}

TEST_F(SchedulerTest, BlockUntilTimesOutAtTheDeadline) {
  EXPECT_FALSE(scheduler().block_until([] { return false; }, 30 * kMillisecond));
  EXPECT_EQ(scheduler().now(), 30 * kMillisecond);
}

TEST_F(SchedulerTest, PassiveEventMayBlock) {
  bool inner = false;
  host::Nanoseconds woke = 0;
  scheduler().schedule_after(
      kMillisecond, RunLevel::Passive,
      [&] {
        scheduler().block_until([&] { return inner; }, host::kSecond);
        woke = scheduler().now();
      },
      "worker");
  scheduler().schedule_after(
      5 * kMillisecond, RunLevel::Dispatch, [&] { inner = true; }, "inner");
  scheduler().run_until_idle(kSecond);
  EXPECT_EQ(woke, 5 * kMillisecond);
}

TEST_F(SchedulerTest, BlockingAbovePassiveIsABugCheck) {
  allow_leaks();
  scheduler().schedule_after(
      0, RunLevel::Dispatch, [&] { scheduler().block_until([] { return true; }, kSecond); }, "dpc");
  EXPECT_BUG_CHECK(scheduler().run_until_idle(kSecond), "WAIT_AT_RAISED_IRQL");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SchedulerTest, WaitThatCanNeverEndIsADeadlock) {
  allow_leaks();
  EXPECT_BUG_CHECK(scheduler().block_until([] { return false; }, ~host::Nanoseconds(0)),
                   "DEADLOCK");
}

TEST_F(SchedulerTest, EventReturningAtAnotherIrqlIsABugCheck) {
  allow_leaks();
  scheduler().schedule_after(
      0, RunLevel::Passive, [] { KfRaiseIrql(DISPATCH_LEVEL); }, "leaky");
  EXPECT_BUG_CHECK(scheduler().run_until_idle(kSecond), "IRQL_MISMATCH");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SchedulerTest, EventReturningWithALockHeldIsABugCheck) {
  allow_leaks();
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  scheduler().schedule_after(
      0, RunLevel::Dispatch, [&] { KefAcquireSpinLockAtDpcLevel(&lock); }, "dpc");
  EXPECT_BUG_CHECK(scheduler().run_until_idle(kSecond), "SPINLOCK_HELD_ON_RETURN");
}

TEST_F(SchedulerTest, EventReturningWithInterruptsOffIsABugCheck) {
  allow_leaks();
  scheduler().schedule_after(
      0, RunLevel::Dispatch, [] { _disable(); }, "dpc");
  EXPECT_BUG_CHECK(scheduler().run_until_idle(kSecond), "INTERRUPTS_LEFT_DISABLED");
}

class KernelLifetimeTest : public ::testing::Test {};

TEST_F(KernelLifetimeTest, OneKernelAtATime) {
  EXPECT_EQ(host::Kernel::current(), nullptr);
  EXPECT_BUG_CHECK(host::Kernel::get(), "NO_KERNEL");
  auto k = host::Kernel::create({});
  EXPECT_EQ(host::Kernel::current(), k.get());
  EXPECT_EQ(&host::Kernel::get(), k.get());
  EXPECT_BUG_CHECK(host::Kernel::create({}), "KERNEL_ALREADY_EXISTS");
  k.reset();
  EXPECT_EQ(host::Kernel::current(), nullptr);
}

TEST_F(KernelLifetimeTest, RunAtIrqlNeverLowersBelowTheCaller) {
  auto k = host::Kernel::create({});
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(host::run_at_irql(PASSIVE_LEVEL, "too low", [] {}), "IRQL_NOT_GREATER_OR_EQUAL");
  KfLowerIrql(old);
  k->set_check_leaks_on_destroy(false);
}

// ---- Timers ---------------------------------------------------------------------

// Counts the calls to the global operator new of this test program while set.
std::atomic<bool> g_count_allocations{false};
std::atomic<uint64_t> g_allocations{0};

}  // namespace

// The replacements pair malloc with free on purpose; GCC cannot see that
// every delete reaches these and warns at each inlined use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (g_count_allocations.load(std::memory_order_relaxed)) ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

TEST_F(SchedulerTest, TimerRunsAtEachArmingAndMovesWhenArmedAgain) {
  std::vector<host::Nanoseconds> ran;
  host::TimerId timer = scheduler().create_timer(
      RunLevel::Dispatch, [&] { ran.push_back(scheduler().now()); }, "timer");
  EXPECT_EQ(scheduler().pending_events(), 0u);
  scheduler().arm_timer(timer, 5 * kMillisecond);
  scheduler().arm_timer(timer, 3 * kMillisecond);  // moved, not doubled
  EXPECT_EQ(scheduler().pending_events(), 1u);
  scheduler().run_for(10 * kMillisecond);
  EXPECT_EQ(ran, (std::vector<host::Nanoseconds>{3 * kMillisecond}));
  scheduler().arm_timer(timer, 20 * kMillisecond);
  EXPECT_TRUE(scheduler().disarm_timer(timer));
  EXPECT_FALSE(scheduler().disarm_timer(timer));
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  EXPECT_EQ(ran.size(), 1u);
  scheduler().arm_timer(timer, 0);  // in the past: runs now
  scheduler().destroy_timer(timer);
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  EXPECT_EQ(ran.size(), 1u);
  allow_leaks();
  EXPECT_BUG_CHECK(scheduler().arm_timer(timer, kSecond), "INVALID_TIMER");
}

TEST_F(SchedulerTest, TimerMayRearmItselfAndKeepsItsPlaceAmongEvents) {
  std::vector<std::string> order;
  host::TimerId timer = 0;
  timer = scheduler().create_timer(
      RunLevel::Dispatch,
      [&] {
        order.push_back("tick@" + std::to_string(scheduler().now() / kMillisecond));
        if (scheduler().now() < 3 * kMillisecond) {
          scheduler().arm_timer(timer, scheduler().now() + kMillisecond);
        }
      },
      "tick");
  scheduler().arm_timer(timer, kMillisecond);
  scheduler().schedule_after(
      2500 * host::kMicrosecond, RunLevel::Dispatch, [&] { order.push_back("event"); }, "event");
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  EXPECT_EQ(order, (std::vector<std::string>{"tick@1", "tick@2", "event", "tick@3"}));
  EXPECT_EQ(scheduler().events_run(), 4u);
  scheduler().destroy_timer(timer);
}

TEST_F(SchedulerTest, CancelledIdsNeverReachEventsQueuedLaterInTheSameSlot) {
  // An event's id stays dead once it ran or was cancelled, though its slot
  // is handed to the next event.
  int ran = 0;
  host::EventId first = scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch, [&] { ran += 1; }, "first");
  EXPECT_TRUE(scheduler().cancel(first));
  host::EventId second = scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch, [&] { ran += 10; }, "second");
  EXPECT_NE(first, second);
  EXPECT_FALSE(scheduler().cancel(first));
  scheduler().run_until_idle(kSecond);
  EXPECT_FALSE(scheduler().cancel(second));
  host::EventId third = scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch, [&] { ran += 100; }, "third");
  EXPECT_FALSE(scheduler().cancel(second));
  // Many cancellations leave stale entries behind; none of them runs and the
  // count stays right.
  std::vector<host::EventId> ids;
  for (int i = 0; i < 1000; ++i) {
    ids.push_back(scheduler().schedule_after((i % 7 + 1) * kMillisecond, RunLevel::Dispatch,
                                             [&] { ran += 1000; }, "cancelled"));
  }
  for (host::EventId id : ids)
    EXPECT_TRUE(scheduler().cancel(id));
  EXPECT_EQ(scheduler().pending_events(), 1u);
  EXPECT_TRUE(scheduler().run_until_idle(kSecond));
  EXPECT_EQ(ran, 110);
  (void)third;
}

TEST_F(SchedulerTest, ArmingATimerAllocatesNothing) {
  int ran = 0;
  host::TimerId timer = 0;
  timer = scheduler().create_timer(
      RunLevel::AnyCompletionLevel,
      [&] {
        if (++ran < 100000) scheduler().arm_timer(timer, scheduler().now() + kMillisecond);
      },
      "tick");
  scheduler().arm_timer(timer, kMillisecond);
  scheduler().run_for(10 * kMillisecond);  // the queue reaches its size
  g_allocations = 0;
  g_count_allocations = true;
  scheduler().run_for(200 * kSecond);
  g_count_allocations = false;
  EXPECT_EQ(ran, 100000);
  EXPECT_EQ(g_allocations.load(), 0u);
  scheduler().destroy_timer(timer);
}

TEST_F(SchedulerTest, QueueingAnEventAllocatesOnlyWhatItsRoutineCaptures) {
  // A routine small enough for std::function to hold in place: once the
  // queue has grown, events come and go without the allocator.
  int ran = 0;
  std::function<void()> again = [&] {
    if (++ran < 100000) {
      scheduler().schedule_after(
          kMillisecond, RunLevel::Dispatch, [&again] { again(); }, "again");
      scheduler().cancel(scheduler().schedule_after(
          kSecond, RunLevel::Dispatch, [&again] { again(); }, "cancelled"));
    }
  };
  scheduler().schedule_after(
      kMillisecond, RunLevel::Dispatch, [&again] { again(); }, "again");
  scheduler().run_for(2 * kSecond);  // the queue reaches its size
  g_allocations = 0;
  g_count_allocations = true;
  scheduler().run_for(200 * kSecond);
  g_count_allocations = false;
  EXPECT_EQ(ran, 100000);
  EXPECT_EQ(g_allocations.load(), 0u);
}

TEST_F(SchedulerTest, SameSeedReplaysTimersAmongEvents) {
  kernel_.reset();
  auto run = [](uint64_t seed) {
    host::KernelOptions o;
    o.seed = seed;
    auto k = host::Kernel::create(o);
    std::vector<int> order;
    std::vector<host::TimerId> timers;
    for (int i = 0; i < 4; ++i) {
      timers.push_back(k->scheduler().create_timer(
          RunLevel::Dispatch, [&order, i] { order.push_back(i); }, "timer"));
      k->scheduler().arm_timer(timers.back(), kMillisecond);
      k->scheduler().schedule_after(
          kMillisecond, RunLevel::Dispatch, [&order, i] { order.push_back(10 + i); }, "event");
    }
    k->scheduler().run_until_idle(kSecond);
    for (host::TimerId t : timers)
      k->scheduler().destroy_timer(t);
    return order;
  };
  EXPECT_EQ(run(7), run(7));
  std::set<std::vector<int>> orders;
  for (uint64_t seed = 1; seed <= 10; ++seed)
    orders.insert(run(seed));
  EXPECT_GT(orders.size(), 1u);
  kernel_ = host::Kernel::create(options());
}
}  // namespace
