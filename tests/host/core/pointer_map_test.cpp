// The verifier's flat pointer map against std::unordered_map: random
// insertions and erasures, with keys crowded into runs so that deletion's
// back-shifting is exercised across the table's wrap-around.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "sim/pointer_map.h"

namespace {

TEST(PointerMap, AgreesWithAStandardMapThroughRandomInsertsAndErasures) {
  for (uintptr_t stride : {uintptr_t{16}, uintptr_t{4096}, uintptr_t{1} << 20})
    for (uint64_t keys : {uint64_t{30}, uint64_t{700}}) {
      SCOPED_TRACE(stride);
      SCOPED_TRACE(keys);
      std::mt19937_64 rng(stride + keys);
      host::PointerMap<int*, uint64_t> map;
      std::unordered_map<int*, uint64_t> model;
      auto key = [&](uint64_t i) { return reinterpret_cast<int*>((i + 1) * stride); };
      for (int step = 0; step < 200000; ++step) {
        // A small key space keeps the table full of collisions and reuse.
        int* k = key(rng() % keys);
        switch (rng() % 3) {
          case 0:
          case 1: {
            uint64_t v = rng();
            map[k] = v;
            model[k] = v;
            break;
          }
          default:
            ASSERT_EQ(map.erase(k), model.erase(k) == 1) << step;
        }
        if (step % (keys < 100 ? 7 : 997) == 0) {
          ASSERT_EQ(map.size(), model.size());
          for (uint64_t i = 0; i < keys; ++i) {
            auto it = model.find(key(i));
            const uint64_t* v = map.find(key(i));
            ASSERT_EQ(v != nullptr, it != model.end()) << step << " key " << i;
            if (v) {
              ASSERT_EQ(*v, it->second);
            }
          }
          size_t visited = 0;
          map.for_each([&](int* k2, uint64_t v) {
            ++visited;
            auto it = model.find(k2);
            ASSERT_NE(it, model.end());
            EXPECT_EQ(it->second, v);
          });
          EXPECT_EQ(visited, model.size());
        }
      }
      EXPECT_EQ(map.find(nullptr), nullptr);
      map.clear();
      EXPECT_TRUE(map.empty());
      EXPECT_EQ(map.find(key(1)), nullptr);
    }
}

TEST(PointerSet, ErasingEveryKeyInAnyOrderLeavesNothingBehind) {
  std::vector<int*> keys;
  for (uintptr_t i = 1; i <= 5000; ++i)
    keys.push_back(reinterpret_cast<int*>(i * 64));
  host::PointerSet<int*> set;
  for (int* k : keys)
    set.insert(k);
  EXPECT_EQ(set.size(), keys.size());
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_TRUE(set.erase(keys[i]));
    ASSERT_FALSE(set.erase(keys[i]));
    // Every key not yet erased is still found after the shifting.
    if (i % 500 == 0) {
      for (size_t j = i + 1; j < keys.size(); ++j)
        ASSERT_EQ(set.count(keys[j]), 1u) << i << " " << j;
    }
  }
  EXPECT_TRUE(set.empty());
}

TEST(PointerMap, APresentKeyAtTheGrowthLimitLeavesTheTableInPlace) {
  // The first table has 64 slots and takes 32 keys; the 33rd grows it. A
  // lookup through operator[] of a present key at that limit must find the
  // key, not grow (which would move every value) nor add a second entry.
  host::PointerMap<int*, int> map;
  auto key = [](uintptr_t i) { return reinterpret_cast<int*>(i * 32); };
  for (uintptr_t i = 1; i <= 32; ++i)
    map[key(i)] = static_cast<int>(i);
  const int* where = map.find(key(1));
  for (uintptr_t i = 1; i <= 32; ++i)
    map[key(i)] += 100;
  EXPECT_EQ(map.size(), 32u);
  EXPECT_EQ(map.find(key(1)), where);
  for (uintptr_t i = 1; i <= 32; ++i)
    ASSERT_EQ(*map.find(key(i)), static_cast<int>(i) + 100) << i;
  map[key(33)] = 33;
  EXPECT_EQ(map.size(), 33u);
  for (uintptr_t i = 1; i <= 33; ++i)
    ASSERT_EQ(*map.find(key(i)), static_cast<int>(i) + (i <= 32 ? 100 : 0)) << i;
}

TEST(PointerMap, SortedKeysAreInAddressOrderWhateverTheTableLayout) {
  // Keys whose hashes scatter them over the table, inserted in a shuffled
  // order and thinned out by erasures: the loops that erase while they go or
  // whose order reaches behaviour take the keys from here.
  std::vector<int*> keys;
  for (uintptr_t i = 1; i <= 300; ++i)
    keys.push_back(reinterpret_cast<int*>(i * 48));
  std::shuffle(keys.begin(), keys.end(), std::mt19937(11));
  host::PointerMap<int*, uintptr_t> map;
  for (int* k : keys)
    map[k] = reinterpret_cast<uintptr_t>(k) / 48;
  for (size_t i = 0; i < keys.size(); i += 3)
    map.erase(keys[i]);

  const host::PointerMap<int*, uintptr_t>& view = map;
  std::vector<int*> sorted = view.sorted_keys();
  ASSERT_EQ(sorted.size(), map.size());
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), [](int* a, int* b) {
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
  }));
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  // The table's own order is not the address order, or the sorting would
  // not be needed.
  std::vector<int*> visited;
  view.for_each([&](int* k, const uintptr_t& v) {
    EXPECT_EQ(v, reinterpret_cast<uintptr_t>(k) / 48);
    visited.push_back(k);
  });
  EXPECT_NE(visited, sorted);
  std::sort(visited.begin(), visited.end());
  EXPECT_EQ(visited, sorted);

  // Erasing every key of the sorted list leaves the map empty, which a loop
  // erasing inside for_each could not promise.
  for (int* k : sorted)
    ASSERT_TRUE(map.erase(k));
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.sorted_keys().empty());

  host::PointerSet<int*> set;
  for (int* k : keys)
    set.insert(k);
  const host::PointerSet<int*>& set_view = set;
  size_t seen = 0;
  set_view.for_each([&](int*) { ++seen; });
  EXPECT_EQ(seen, keys.size());
  std::vector<int*> all = keys;
  std::sort(all.begin(), all.end());
  EXPECT_EQ(set_view.sorted_keys(), all);
}

}  // namespace
