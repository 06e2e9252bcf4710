// The verifier's fixed ring against a deque: values go in and out across the
// buffer's end many times over, and lookups see exactly what is held.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "sim/ring.h"

namespace {

TEST(Ring, KeepsOrderAndContentsAcrossWrapAround) {
  std::mt19937 rng(7);
  host::Ring<int> ring(5);
  std::deque<int> model;
  int next = 0;
  for (int step = 0; step < 10000; ++step) {
    if (!ring.full() && (ring.empty() || rng() % 2 == 0)) {
      ring.push_back(next);
      model.push_back(next);
      ++next;
    } else {
      ASSERT_EQ(ring.front(), model.front());
      ring.pop_front();
      model.pop_front();
    }
    ASSERT_EQ(ring.size(), model.size());
    for (size_t i = 0; i < model.size(); ++i)
      ASSERT_EQ(ring[i], model[i]);
    // The value just taken out, or never put in, is not held.
    ASSERT_FALSE(ring.contains(next));
    ASSERT_FALSE(ring.contains(model.empty() ? -1 : model.front() - 1));
    if (!model.empty()) ASSERT_TRUE(ring.contains(model.back()));
  }
  ring.clear();
  EXPECT_TRUE(ring.empty());
  EXPECT_FALSE(ring.contains(next - 1));
}

}  // namespace
