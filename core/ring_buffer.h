#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "core/reserve_error.h"

namespace sarvek {

// Fixed-capacity first-in-first-out ring of plain values, oldest first. The
// whole room is reserved once, at construction, and never grows, so pushing
// and popping never allocate. Storage is left uninitialised until written:
// a large window costs address space, not pages, until bars fill it.
//
// Allocation failure (or a capacity whose byte size overflows) throws
// ReserveError, a std::bad_alloc naming the capacity and bytes, from the
// constructor; nothing else here can fail.
template <class T>
class RingBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "RingBuffer holds plain values");

 public:
  explicit RingBuffer(std::size_t capacity) : capacity_(capacity) {
    if (capacity_ > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw ReserveError(capacity_, sizeof(T));
    if (capacity_ == 0) return;
    void* room = ::operator new(capacity_ * sizeof(T), std::nothrow);
    if (!room) throw ReserveError(capacity_, sizeof(T));
    data_.reset(static_cast<T*>(room));
  }

  RingBuffer(RingBuffer&&) noexcept = default;
  RingBuffer& operator=(RingBuffer&&) noexcept = default;

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == capacity_; }

  // Appends as the newest entry; when the ring is full the oldest entry is
  // dropped to make room.
  void push_back(const T& v) {
    if (capacity_ == 0) return;
    std::size_t slot = head_ + size_;
    if (slot >= capacity_) slot -= capacity_;
    ::new (static_cast<void*>(data_.get() + slot)) T(v);
    if (size_ < capacity_) {
      ++size_;
    } else {
      head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    }
  }

  void pop_front() {
    if (size_ == 0) return;
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --size_;
  }

  void clear() {
    head_ = 0;
    size_ = 0;
  }

  // i = 0 is the oldest entry.
  const T& operator[](std::size_t i) const {
    std::size_t slot = head_ + i;
    if (slot >= capacity_) slot -= capacity_;
    return data_.get()[slot];
  }
  const T& front() const { return (*this)[0]; }
  const T& back() const { return (*this)[size_ - 1]; }

  // Visits the entries oldest to newest as at most two contiguous runs, so
  // window passes run over plain arrays. `f` returns false to stop early;
  // the result tells whether every entry was visited.
  template <class F>
  bool visit(F&& f) const {
    if (size_ == 0) return true;
    const T* base = data_.get();
    std::size_t first = std::min(size_, capacity_ - head_);
    for (std::size_t i = 0; i < first; ++i)
      if (!f(base[head_ + i])) return false;
    for (std::size_t i = 0; i < size_ - first; ++i)
      if (!f(base[i])) return false;
    return true;
  }

 private:
  struct Free {
    void operator()(T* p) const { ::operator delete(p); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace sarvek
