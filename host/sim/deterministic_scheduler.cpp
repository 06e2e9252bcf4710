// Deterministic scheduler: one thread, a virtual clock in nanoseconds, and a
// queue of events ordered by time. Events due at the same instant run in an
// order drawn from the seed when they are queued, so a seed replays exactly.
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <tuple>
#include <unordered_map>

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
    if (when < now_) when = now_;
    EventId id = ++last_id_;
    Key key{when, rng_(), id};
    queue_.emplace(key, Event{level, std::move(fn), name(what)});
    index_.emplace(id, key);
    return id;
  }

  bool cancel(EventId id) override {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    queue_.erase(it->second);
    index_.erase(it);
    return true;
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

  // One thread: whoever blocks re-tests its condition after every event.
  void notify() override {}

  uint64_t random(uint64_t bound) override {
    if (bound <= 1) return 0;
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(rng_);
  }

 private:
  // (time, seed-drawn tie break, id): the id keeps keys unique.
  using Key = std::tuple<Nanoseconds, uint64_t, EventId>;
  struct Event {
    RunLevel level;
    std::function<void()> fn;
    std::string what;
  };

  static std::string name(const char* what) { return what ? what : "event"; }
  static Nanoseconds saturating_add(Nanoseconds a, Nanoseconds b) {
    return a > kForever - b ? kForever : a + b;
  }

  // Runs the earliest event when it is due no later than `deadline`.
  bool run_next_due(Nanoseconds deadline) {
    if (queue_.empty()) return false;
    auto it = queue_.begin();
    Nanoseconds when = std::get<0>(it->first);
    if (when > deadline) return false;
    Event event = std::move(it->second);
    index_.erase(std::get<2>(it->first));
    queue_.erase(it);
    if (now_ < when) now_ = when;
    uint8_t irql = DISPATCH_LEVEL;
    if (event.level == RunLevel::Passive) irql = PASSIVE_LEVEL;
    if (event.level == RunLevel::AnyCompletionLevel) {
      irql = random(2) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    }
    run_event_routine(event.level, irql, event.what.c_str(), event.fn);
    return true;
  }

  uint64_t seed_;
  std::mt19937_64 rng_;
  Nanoseconds now_ = 0;
  EventId last_id_ = 0;
  std::map<Key, Event> queue_;
  std::unordered_map<EventId, Key> index_;
};

}  // namespace

std::unique_ptr<Scheduler> make_deterministic_scheduler(uint64_t seed) {
  return std::make_unique<DeterministicScheduler>(seed);
}

}  // namespace host
