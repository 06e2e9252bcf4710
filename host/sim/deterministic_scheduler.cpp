// Deterministic scheduler: one thread, a virtual clock in nanoseconds, and a
// queue of events ordered by time. Events due at the same instant run in an
// order drawn from the seed when they are queued, so a seed replays exactly.
#include <limits>
#include <random>

#include "sim/event_queue.h"
#include "sim/scheduler.h"
#include "wdk_nt.h"

namespace host {
namespace {

constexpr Nanoseconds kForever = std::numeric_limits<Nanoseconds>::max();

class DeterministicScheduler final : public Scheduler {
 public:
  explicit DeterministicScheduler(uint64_t seed) : seed_(seed), rng_(seed) {}

  Mode mode() const override { return Mode::Deterministic; }
  Nanoseconds now() const override { return now_; }
  uint64_t seed() const override { return seed_; }

  EventId schedule_at(Nanoseconds when, RunLevel level, std::function<void()> fn,
                      const char* what) override {
    if (!fn) bug_check("INVALID_EVENT", std::string("event without a routine: ") + name(what));
    return queue_.add(std::max(when, now_), rng_(), level, std::move(fn), name(what));
  }

  bool cancel(EventId id) override { return queue_.cancel(id); }

  TimerId create_timer(RunLevel level, std::function<void()> fn, const char* what) override {
    if (!fn) bug_check("INVALID_EVENT", std::string("timer without a routine: ") + name(what));
    return queue_.create_timer(level, std::move(fn), name(what));
  }

  void arm_timer(TimerId timer, Nanoseconds when) override {
    if (!queue_.arm(timer, std::max(when, now_), rng_())) no_such_timer("arm_timer");
  }

  bool disarm_timer(TimerId timer) override { return queue_.disarm(timer); }

  void destroy_timer(TimerId timer) override {
    if (!queue_.destroy(timer)) no_such_timer("destroy_timer");
  }

  bool block_until(const std::function<bool()>& ready, Nanoseconds deadline) override {
    check_may_block("a blocking wait");
    for (;;) {
      if (ready()) return true;
      if (run_next_due(deadline)) continue;
      if (deadline == kForever) {
        bug_check("DEADLOCK",
                  "a wait without timeout can never be satisfied: no event is queued at " +
                      std::to_string(now_) + " ns");
      }
      if (now_ < deadline) now_ = deadline;
      return ready();
    }
  }

  void run_for(Nanoseconds duration) override {
    check_may_block("run_for");
    Nanoseconds deadline = saturating_add(now_, duration);
    while (run_next_due(deadline)) {
    }
    if (now_ < deadline) now_ = deadline;
  }

  bool run_until_idle(Nanoseconds limit) override {
    check_may_block("run_until_idle");
    Nanoseconds deadline = saturating_add(now_, limit);
    while (run_next_due(deadline)) {
    }
    return queue_.empty();
  }

  size_t pending_events() const override { return queue_.size(); }
  uint64_t events_run() const override { return events_run_; }

  // One thread: whoever blocks re-tests its condition after every event.
  void notify() override {}

  uint64_t random(uint64_t bound) override {
    if (bound <= 1) return 0;
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(rng_);
  }

 private:
  static const char* name(const char* what) { return what ? what : "event"; }
  static Nanoseconds saturating_add(Nanoseconds a, Nanoseconds b) {
    return a > kForever - b ? kForever : a + b;
  }
  [[noreturn]] static void no_such_timer(const char* what) {
    bug_check("INVALID_TIMER", std::string(what) + " of a timer that does not exist");
  }

  // Runs the earliest event when it is due no later than `deadline`.
  bool run_next_due(Nanoseconds deadline) {
    Nanoseconds when;
    if (!queue_.next(&when) || when > deadline) return false;
    EventQueue::Due due = queue_.pop();
    ++events_run_;
    if (now_ < when) now_ = when;
    uint8_t irql = DISPATCH_LEVEL;
    if (due.level == RunLevel::Passive) irql = PASSIVE_LEVEL;
    if (due.level == RunLevel::AnyCompletionLevel) {
      irql = random(2) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    }
    struct Finish {
      EventQueue& queue;
      const EventQueue::Due& due;
      ~Finish() { queue.finish(due); }
    } finish{queue_, due};
    run_event_routine(due.level, irql, due.what, due.routine());
    return true;
  }

  uint64_t seed_;
  std::mt19937_64 rng_;
  Nanoseconds now_ = 0;
  uint64_t events_run_ = 0;
  EventQueue queue_;
};

}  // namespace

std::unique_ptr<Scheduler> make_deterministic_scheduler(uint64_t seed) {
  return std::make_unique<DeterministicScheduler>(seed);
}

}  // namespace host
