// A first-in first-out queue of at most `capacity` values in one fixed
// buffer: the verifier's lists of the blocks and IRPs freed last take one
// value in and one out at every frame, which a deque pays for in arithmetic
// and in allocating and freeing its blocks as the list moves along.
#pragma once

#include <cstddef>
#include <vector>

namespace host {

template <typename T>
class Ring {
 public:
  explicit Ring(size_t capacity) : buffer_(capacity) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == buffer_.size(); }

  // The i-th value from the oldest.
  T& operator[](size_t i) { return buffer_[wrap(head_ + i)]; }
  const T& operator[](size_t i) const { return buffer_[wrap(head_ + i)]; }
  T& front() { return buffer_[head_]; }

  // Not when full.
  void push_back(const T& value) {
    buffer_[wrap(head_ + size_)] = value;
    ++size_;
  }
  // Not when empty.
  void pop_front() {
    head_ = wrap(head_ + 1);
    --size_;
  }
  void clear() { head_ = size_ = 0; }

  template <typename F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < size_; ++i)
      f((*this)[i]);
  }
  bool contains(const T& value) const {
    for (size_t i = 0; i < size_; ++i) {
      if ((*this)[i] == value) return true;
    }
    return false;
  }

 private:
  size_t wrap(size_t i) const { return i >= buffer_.size() ? i - buffer_.size() : i; }

  std::vector<T> buffer_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace host
