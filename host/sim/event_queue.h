// The event queue both schedulers keep: small entries in a vector kept in
// order, and the events' routines in slots that are reused. Once the vectors
// have grown to a run's high-water mark, queueing an event allocates nothing
// but what its routine's captures need, and arming a timer allocates nothing.
// A cancelled or moved event leaves its entry behind: the entry no longer
// matches its slot's serial and is dropped when it comes next (or when stale
// entries come to outnumber live ones, in one sweep).
//
// Not thread-safe: the threaded scheduler calls it under its own lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace host {

class EventQueue {
 public:
  // What pop() hands out. A timer's routine stays in its slot, so `fn` is
  // empty and `timer_fn` points at it; call finish() once it has run.
  struct Due {
    Nanoseconds when = 0;
    RunLevel level = RunLevel::Dispatch;
    const char* what = "event";
    std::function<void()> fn;
    const std::function<void()>* timer_fn = nullptr;
    uint32_t index = 0;
    const std::function<void()>& routine() const { return timer_fn ? *timer_fn : fn; }
  };

  // `what` must outlive the event (the names are string literals).
  EventId add(Nanoseconds when, uint64_t tie, RunLevel level, std::function<void()> fn,
              const char* what) {
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      index = new_slot();
    }
    Slot& s = slots_[index];
    s.level = level;
    s.fn = std::move(fn);
    s.what = what;
    return queue(index, when, tie);
  }

  bool cancel(EventId id) {
    const uint64_t index = id & kSlotMask;
    if (id == 0 || index >= slots_.size()) return false;
    Slot& s = slots_[index];
    if (s.timer || s.serial == 0 || ((s.serial << kSlotBits) | index) != id) return false;
    s.serial = 0;
    s.fn = nullptr;
    free_.push_back(static_cast<uint32_t>(index));
    dequeued();
    return true;
  }

  TimerId create_timer(RunLevel level, std::function<void()> fn, const char* what) {
    uint32_t index = new_slot();
    Slot& s = slots_[index];
    s.timer = true;
    s.level = level;
    s.fn = std::move(fn);
    s.what = what;
    return index + 1;
  }

  // False when `timer` names no timer.
  bool arm(TimerId timer, Nanoseconds when, uint64_t tie) {
    Slot* s = timer_slot(timer);
    if (!s) return false;
    if (s->serial != 0) dequeued();  // moved: the old entry goes stale
    queue(static_cast<uint32_t>(timer - 1), when, tie);
    return true;
  }

  bool disarm(TimerId timer) {
    Slot* s = timer_slot(timer);
    if (!s || s->serial == 0) return false;
    s->serial = 0;
    dequeued();
    return true;
  }

  // The routine is dropped now, or when it returns if it is running.
  bool destroy(TimerId timer) {
    Slot* s = timer_slot(timer);
    if (!s) return false;
    if (s->serial != 0) dequeued();
    s->serial = 0;
    s->timer = false;
    if (s->running == 0) release(static_cast<uint32_t>(timer - 1));
    return true;
  }

  size_t size() const { return queued_; }
  bool empty() const { return queued_ == 0; }

  // Time of the earliest queued event; false when none is.
  bool next(Nanoseconds* when) {
    drop_stale_next();
    if (order_.empty()) return false;
    *when = order_.back().when;
    return true;
  }

  // Takes the earliest queued event (next() must have returned true).
  Due pop() {
    drop_stale_next();
    const Entry top = order_.back();
    order_.pop_back();
    --queued_;
    Slot& s = slots_[top.index];  // slots never move: the reference stays valid
    s.serial = 0;
    Due due;
    due.when = top.when;
    due.level = s.level;
    due.what = s.what;
    due.index = top.index;
    if (s.timer) {
      ++s.running;
      due.timer_fn = &s.fn;
    } else {
      due.fn = std::move(s.fn);
      s.fn = nullptr;
      free_.push_back(top.index);
    }
    return due;
  }

  // After a timer's routine has run.
  void finish(const Due& due) {
    if (!due.timer_fn) return;
    Slot& s = slots_[due.index];
    if (--s.running == 0 && !s.timer) release(due.index);
  }

 private:
  // An EventId carries its slot in the low bits and the serial of its
  // queueing above them: cancel finds the slot without a lookup table, and
  // the id of an event that has run, or whose slot was reused, matches nothing.
  static constexpr unsigned kSlotBits = 24;
  static constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;

  struct Slot {
    uint64_t serial = 0;  // of the queueing it holds; 0: not queued
    bool timer = false;   // kept by its owner, not returned to the free list
    unsigned running = 0;
    RunLevel level = RunLevel::Dispatch;
    std::function<void()> fn;
    const char* what = "event";
  };
  // Ordered by (time, seed-drawn tie break, serial): the serial keeps keys unique.
  struct Entry {
    Nanoseconds when;
    uint64_t tie;
    uint64_t serial;
    uint32_t index;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      if (a.when != b.when) return a.when > b.when;
      if (a.tie != b.tie) return a.tie > b.tie;
      return a.serial > b.serial;
    }
  };

  uint32_t new_slot() {
    if (slots_.size() > kSlotMask) {
      bug_check("TOO_MANY_EVENTS", "more than " + std::to_string(kSlotMask) + " events queued");
    }
    slots_.emplace_back();
    return static_cast<uint32_t>(slots_.size() - 1);
  }

  void release(uint32_t index) {
    slots_[index].fn = nullptr;
    free_.push_back(index);
  }

  Slot* timer_slot(TimerId timer) {
    if (timer == 0 || timer > slots_.size() || !slots_[timer - 1].timer) return nullptr;
    return &slots_[timer - 1];
  }

  EventId queue(uint32_t index, Nanoseconds when, uint64_t tie) {
    const uint64_t serial = ++last_serial_;
    slots_[index].serial = serial;
    const Entry e{when, tie, serial, index};
    order_.insert(std::lower_bound(order_.begin(), order_.end(), e, Later{}), e);
    ++queued_;
    return (serial << kSlotBits) | index;
  }

  void dequeued() {
    --queued_;
    if (order_.size() > 64 && order_.size() > 4 * queued_) {
      order_.erase(
          std::remove_if(order_.begin(), order_.end(), [this](const Entry& e) { return stale(e); }),
          order_.end());
    }
  }

  bool stale(const Entry& e) const { return slots_[e.index].serial != e.serial; }

  void drop_stale_next() {
    while (!order_.empty() && stale(order_.back()))
      order_.pop_back();
  }

  uint64_t last_serial_ = 0;
  size_t queued_ = 0;
  // The slots in chunks that never move, so that a timer's routine can be
  // run from its slot while the routine queues new events; found by shift
  // and mask rather than a deque's arithmetic, at every queueing and pop.
  class Slots {
   public:
    size_t size() const { return size_; }
    Slot& operator[](size_t i) { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
    const Slot& operator[](size_t i) const { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
    void emplace_back() {
      if ((size_ & (kChunk - 1)) == 0) chunks_.push_back(std::make_unique<Slot[]>(kChunk));
      ++size_;
    }

   private:
    static constexpr unsigned kChunkBits = 8;
    static constexpr size_t kChunk = size_t{1} << kChunkBits;
    std::vector<std::unique_ptr<Slot[]>> chunks_;
    size_t size_ = 0;
  };
  Slots slots_;
  std::vector<uint32_t> free_;
  // Latest first: the next to run is at the back. A run holds a handful of
  // events at a time (a stream's next frame, the bus's next frame start, a
  // few timers), so a sorted vector beats a heap: taking the next is a
  // pop_back, and queueing is a short search and move.
  std::vector<Entry> order_;
};

}  // namespace host
