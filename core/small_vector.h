#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace sarvek {

// A short sequence that keeps up to N elements inline and moves to heap
// storage only when it grows beyond that. Feature results travel in it, so a
// bar's one or two outputs never touch the allocator.
template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>,
                "SmallVector holds plain values");

 public:
  SmallVector() = default;
  SmallVector(std::initializer_list<T> init) {
    for (const T& v : init) push_back(v);
  }

  void push_back(const T& v) {
    if (heap_.empty() && size_ < N) {
      inline_[size_++] = v;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
    heap_.push_back(v);
    ++size_;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool on_heap() const { return !heap_.empty(); }

  const T* data() const { return heap_.empty() ? inline_ : heap_.data(); }
  T* data() { return heap_.empty() ? inline_ : heap_.data(); }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  T inline_[N]{};
  std::vector<T> heap_;
  std::size_t size_ = 0;
};

}  // namespace sarvek
