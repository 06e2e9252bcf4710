// Threaded scheduler: worker threads play the processors and run events when
// their (scaled) real time comes. Blocking calls sleep on a condition variable
// and re-test their condition whenever notify() is called or an event has run.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "sim/event_queue.h"
#include "sim/scheduler.h"
#include "wdk_nt.h"

namespace host {
namespace {

constexpr Nanoseconds kForever = std::numeric_limits<Nanoseconds>::max();
using Clock = std::chrono::steady_clock;

class ThreadedScheduler final : public Scheduler {
 public:
  ThreadedScheduler(uint64_t seed, unsigned processors, double time_scale)
      : seed_(seed),
        rng_(seed),
        time_scale_(time_scale > 0 ? time_scale : 1.0),
        start_(Clock::now()) {
    if (processors == 0) processors = 1;
    waiting_until_.assign(processors, kRunning);
    for (unsigned i = 0; i < processors; ++i) {
      workers_.emplace_back([this, i] { worker(static_cast<int>(i)); });
    }
  }

  ~ThreadedScheduler() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_cv_.notify_all();
    wait_cv_.notify_all();
    for (auto& t : workers_)
      t.join();
  }

  Mode mode() const override { return Mode::Threaded; }
  uint64_t seed() const override { return seed_; }

  Nanoseconds now() const override {
    auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_);
    return static_cast<Nanoseconds>(static_cast<double>(real.count()) * time_scale_);
  }

  EventId schedule_at(Nanoseconds when, RunLevel level, std::function<void()> fn,
                      const char* what) override {
    if (!fn) bug_check("INVALID_EVENT", "event without a routine");
    EventId id;
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id = queue_.add(when, rng_(), level, std::move(fn), what ? what : "event");
      wake = unwatched_locked(when);
    }
    if (wake) work_cv_.notify_one();
    return id;
  }

  bool cancel(EventId id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.cancel(id);
  }

  TimerId create_timer(RunLevel level, std::function<void()> fn, const char* what) override {
    if (!fn) bug_check("INVALID_EVENT", "timer without a routine");
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.create_timer(level, std::move(fn), what ? what : "timer");
  }

  void arm_timer(TimerId timer, Nanoseconds when) override {
    bool armed, wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      armed = queue_.arm(timer, when, rng_());
      wake = armed && unwatched_locked(when);
    }
    if (!armed) bug_check("INVALID_TIMER", "arm_timer of a timer that does not exist");
    if (wake) work_cv_.notify_one();
  }

  bool disarm_timer(TimerId timer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.disarm(timer);
  }

  void destroy_timer(TimerId timer) override {
    bool destroyed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      destroyed = queue_.destroy(timer);
    }
    if (!destroyed) bug_check("INVALID_TIMER", "destroy_timer of a timer that does not exist");
  }

  bool block_until(const std::function<bool()>& ready, Nanoseconds deadline) override {
    check_may_block("a blocking wait");
    for (;;) {
      rethrow_worker_bug_check();
      uint64_t generation;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        generation = generation_;
      }
      if (ready()) return true;
      if (now() >= deadline) return ready();
      std::unique_lock<std::mutex> lock(mutex_);
      // A bounded sleep: the condition may depend on state that changes
      // without a notify (another thread's plain store), so poll as well.
      auto limit = Clock::now() + std::chrono::milliseconds(2);
      if (deadline != kForever) limit = std::min(limit, real_time(deadline));
      wait_cv_.wait_until(lock, limit, [&] { return generation_ != generation || stopping_; });
    }
  }

  void run_for(Nanoseconds duration) override {
    check_may_block("run_for");
    Nanoseconds deadline = now() + duration;
    std::unique_lock<std::mutex> lock(mutex_);
    wait_cv_.wait_until(lock, real_time(deadline),
                        [&] { return stopping_ || failure_ != nullptr; });
    lock.unlock();
    rethrow_worker_bug_check();
  }

  bool run_until_idle(Nanoseconds limit) override {
    check_may_block("run_until_idle");
    Nanoseconds deadline = limit > kForever - now() ? kForever : now() + limit;
    bool idle;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto is_idle = [&] { return (queue_.empty() && running_ == 0) || failure_ != nullptr; };
      if (deadline == kForever) {
        wait_cv_.wait(lock, is_idle);
      } else {
        wait_cv_.wait_until(lock, real_time(deadline), is_idle);
      }
      idle = queue_.empty() && running_ == 0;
    }
    rethrow_worker_bug_check();
    return idle;
  }

  size_t pending_events() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

  uint64_t events_run() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_run_;
  }

  void notify() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
    }
    wait_cv_.notify_all();
  }

  uint64_t random(uint64_t bound) override {
    if (bound <= 1) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(rng_);
  }

 private:
  Clock::time_point real_time(Nanoseconds virtual_time) const {
    if (virtual_time == kForever) return Clock::time_point::max();
    double real = static_cast<double>(virtual_time) / time_scale_;
    if (real > 1e18) return Clock::time_point::max();
    return start_ + std::chrono::nanoseconds(static_cast<int64_t>(real));
  }

  // Whether a waiting worker must be woken for an event due at `when`: not
  // when one of them already waits for a time at or before it (it will look
  // at the queue then), nor when none waits (a running one looks when it is
  // done). One woken worker suffices: it looks at the whole queue, and takes
  // the watch for what it leaves behind (see worker()).
  bool unwatched_locked(Nanoseconds when) const {
    bool any_waiting = false;
    for (Nanoseconds until : waiting_until_) {
      if (until == kRunning) continue;
      if (until <= when) return false;
      any_waiting = true;
    }
    return any_waiting;
  }

  void worker(int processor) {
    current_context().processor = processor;
#if defined(__linux__)
    // Events fall due every 125 us at high speed: the default timer slack
    // of 50 us would stretch each wait for one by up to that much.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
    std::unique_lock<std::mutex> lock(mutex_);
    Nanoseconds& waiting_until = waiting_until_[static_cast<size_t>(processor)];
    while (!stopping_) {
      Nanoseconds when;
      if (!queue_.next(&when)) {
        waiting_until = kForever;
        work_cv_.wait(lock);
        waiting_until = kRunning;
        continue;
      }
      if (when > now()) {
        waiting_until = when;
        work_cv_.wait_until(lock, real_time(when));
        waiting_until = kRunning;
        continue;
      }
      EventQueue::Due event = queue_.pop();
      // What is left needs a watcher while this one runs: the event taken
      // may run long, or wait for one of those behind it.
      if (queue_.next(&when) && unwatched_locked(when)) work_cv_.notify_one();
      ++running_;
      ++events_run_;
      uint8_t irql = DISPATCH_LEVEL;
      if (event.level == RunLevel::Passive) irql = PASSIVE_LEVEL;
      if (event.level == RunLevel::AnyCompletionLevel) {
        irql = std::uniform_int_distribution<int>(0, 1)(rng_) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
      }
      lock.unlock();
      std::exception_ptr failure;
      try {
        run_event_routine(event.level, irql, event.what, event.routine());
      } catch (...) {
        failure = std::current_exception();
      }
      event.fn = nullptr;  // destroy captures outside the lock
      lock.lock();
      queue_.finish(event);
      --running_;
      ++generation_;
      if (failure && !failure_) failure_ = failure;
      wait_cv_.notify_all();
    }
  }

  // A bug check raised on a worker surfaces in the thread that drives the test.
  void rethrow_worker_bug_check() {
    std::exception_ptr failure;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) return;
      failure = failure_;
      failure_ = nullptr;
    }
    std::rethrow_exception(failure);
  }

  uint64_t seed_;
  std::mt19937_64 rng_;  // guarded by mutex_
  double time_scale_;
  Clock::time_point start_;

  mutable std::mutex mutex_;
  std::condition_variable work_cv_;  // workers: new or earlier events, stop
  std::condition_variable wait_cv_;  // blocked callers: something may have changed
  EventQueue queue_;
  uint64_t events_run_ = 0;
  uint64_t generation_ = 0;
  int running_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  // Per worker: the time it waits for (kForever: for any event at all), or
  // kRunning while it is not waiting.
  static constexpr Nanoseconds kRunning = 0;
  std::vector<Nanoseconds> waiting_until_;
  std::vector<std::thread> workers_;
};

}  // namespace

std::unique_ptr<Scheduler> make_threaded_scheduler(uint64_t seed, unsigned processors,
                                                   double time_scale) {
  return std::make_unique<ThreadedScheduler>(seed, processors, time_scale);
}

}  // namespace host
