// The host's book lock under contention: updates made under it by several
// threads at once are neither lost nor torn, and try_lock fails while it is
// held.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "sim/host_mutex.h"

namespace {

TEST(HostMutex, ThreadsContendingForItLoseNoUpdate) {
  host::HostMutex mutex;
  // Two words updated apart: a second holder inside would show as a
  // mismatch or a lost count.
  uint64_t a = 0, b = 0;
  bool mismatch = false;
  constexpr int kThreads = 4, kRounds = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<host::HostMutex> lock(mutex);
        uint64_t seen = a;
        a = seen + 1;
        if (b != seen) mismatch = true;
        b = seen + 1;
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(a, uint64_t{kThreads} * kRounds);
  EXPECT_EQ(b, a);
  EXPECT_FALSE(mismatch);
}

TEST(HostMutex, TryLockFailsWhileHeldAndSucceedsAfter) {
  host::HostMutex mutex;
  std::unique_lock<host::HostMutex> lock(mutex);
  bool taken = true;
  std::thread([&] { taken = mutex.try_lock(); }).join();
  EXPECT_FALSE(taken);
  lock.unlock();
  std::thread([&] {
    taken = mutex.try_lock();
    if (taken) mutex.unlock();
  }).join();
  EXPECT_TRUE(taken);
}

}  // namespace
