// The lock of the host's own books (the NDIS library's, the pool's, the
// IRPs'): held for a few dozen instructions at a time, taken at every frame
// many times over, and almost never contended (the deterministic simulator
// runs on one thread). It is taken with one atomic exchange and given back
// with a plain release store, where a pthread mutex needs a call and a
// second atomic operation. A thread that finds it held spins a little, then
// yields until it is free. Not recursive, like std::mutex; it meets the same
// Lockable requirements, so std::lock_guard and std::unique_lock take it.
#pragma once

#include <atomic>
#include <thread>

namespace host {

class HostMutex {
 public:
  HostMutex() = default;
  HostMutex(const HostMutex&) = delete;
  HostMutex& operator=(const HostMutex&) = delete;

  void lock() {
    if (!held_.exchange(true, std::memory_order_acquire)) return;
    lock_contended();
  }
  bool try_lock() {
    return !held_.load(std::memory_order_relaxed) &&
           !held_.exchange(true, std::memory_order_acquire);
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  void lock_contended() {
    for (unsigned spins = 0;; ++spins) {
      if (try_lock()) return;
      if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
  }

  std::atomic<bool> held_{false};
};

}  // namespace host
