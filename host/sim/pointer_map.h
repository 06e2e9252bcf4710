// A hash map keyed by non-null pointers, stored flat: open addressing with
// linear probing, and deletion by shifting the following entries back, so it
// allocates only when it grows. The verifier's books (live pool blocks, live
// and freed IRPs) change on every frame; a node-based map would spend more
// on its own allocations than on the checks it serves.
//
// A reference or pointer to a value is good until the next insertion or
// erasure.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace host {

template <typename K, typename V>
class PointerMap {
  static_assert(std::is_pointer_v<K>, "keys are pointers");

 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t count(K key) const { return find(key) != nullptr; }

  V* find(K key) {
    if (slots_.empty() || key == nullptr) return nullptr;
    for (size_t i = home(key);; i = next(i)) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == nullptr) return nullptr;
    }
  }
  const V* find(K key) const { return const_cast<PointerMap*>(this)->find(key); }

  // The value for `key`, value-initialised when the key is new.
  V& operator[](K key) {
    if ((size_ + 1) * 2 > slots_.size()) {
      if (V* v = find(key)) return *v;  // no growth for a key already there
      grow();
    }
    // One probe: the key's run holds it, or ends at the free slot it takes.
    size_t i = home(key);
    for (; slots_[i].key != nullptr; i = next(i)) {
      if (slots_[i].key == key) return slots_[i].value;
    }
    slots_[i].key = key;
    slots_[i].value = V{};
    ++size_;
    return slots_[i].value;
  }

  // Whether it was there.
  bool erase(K key) {
    if (slots_.empty() || key == nullptr) return false;
    size_t i = home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == nullptr) return false;
      i = next(i);
    }
    // Moves back every later entry of the run whose home does not lie
    // cyclically in (i, j], so that no lookup meets a hole before its key.
    size_t j = i;
    for (;;) {
      j = next(j);
      if (slots_[j].key == nullptr) break;
      const size_t h = home(slots_[j].key);
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = std::move(slots_[j]);
      i = j;
    }
    slots_[i].key = nullptr;
    slots_[i].value = V{};
    --size_;
    return true;
  }

  void clear() {
    slots_.clear();
    size_ = 0;
  }

  // Visits every entry in the table's order, which follows the keys' hashes:
  // nothing whose behaviour must not depend on the layout may rely on it. `f`
  // must not insert or erase.
  template <typename F>
  void for_each(F&& f) {
    for (Slot& s : slots_) {
      if (s.key != nullptr) f(s.key, s.value);
    }
  }
  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.key != nullptr) f(s.key, s.value);
    }
  }

  // The keys in ascending address order: for a loop that erases as it goes
  // or whose order reaches behaviour.
  std::vector<K> sorted_keys() const {
    std::vector<K> keys;
    keys.reserve(size_);
    for (const Slot& s : slots_) {
      if (s.key != nullptr) keys.push_back(s.key);
    }
    std::sort(keys.begin(), keys.end(), [](K a, K b) {
      return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    });
    return keys;
  }

 private:
  struct Slot {
    K key = nullptr;
    V value{};
  };

  size_t home(K key) const {
    uint64_t x = reinterpret_cast<uintptr_t>(key);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return static_cast<size_t>(x) & (slots_.size() - 1);
  }
  size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    size_ = 0;
    for (Slot& s : old) {
      if (s.key != nullptr) (*this)[s.key] = std::move(s.value);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

// A set of pointers: the map with nothing attached.
template <typename K>
class PointerSet {
 public:
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  size_t count(K key) const { return map_.count(key); }
  void insert(K key) { map_[key] = true; }
  bool erase(K key) { return map_.erase(key); }
  void clear() { map_.clear(); }
  template <typename F>
  void for_each(F&& f) {
    map_.for_each([&](K key, bool) { f(key); });
  }
  template <typename F>
  void for_each(F&& f) const {
    map_.for_each([&](K key, bool) { f(key); });
  }
  std::vector<K> sorted_keys() const { return map_.sorted_keys(); }

 private:
  PointerMap<K, bool> map_;
};

}  // namespace host
