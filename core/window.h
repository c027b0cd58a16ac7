#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "core/column.h"
#include "core/reserve_error.h"

namespace sarvek {

// The last `capacity` entries of a stream, oldest first, each entry N
// numbers sharing one present/missing flag. Every entry is written twice,
// at its slot and one capacity further, so the entries are always one
// contiguous run: the window formulas read it as a plain array. A running
// count of missing entries answers "is any entry missing" without a pass.
//
// The room is reserved once, at construction, and never grows; it is left
// uninitialised until written, so a large window costs address space, not
// pages, until bars fill it. Failure throws ReserveError.
template <std::size_t N = 1>
class Window {
 public:
  static constexpr std::size_t kEntryBytes = 2 * (N * sizeof(double) + 1);

  explicit Window(std::size_t capacity) : capacity_(capacity) {
    if (capacity_ > std::numeric_limits<std::size_t>::max() / kEntryBytes) throw ReserveError(capacity_, kEntryBytes);
    if (capacity_ == 0) return;
    void* room = ::operator new(capacity_ * kEntryBytes, std::nothrow);
    if (!room) throw ReserveError(capacity_, kEntryBytes);
    room_.reset(static_cast<unsigned char*>(room));
  }

  Window(Window&&) noexcept = default;
  Window& operator=(Window&&) noexcept = default;

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return size_; }
  bool full() const { return size_ == capacity_; }
  std::size_t missing() const { return missing_; }
  // Full and holding no missing entry.
  bool complete() const { return size_ == capacity_ && missing_ == 0; }

  void clear() {
    head_ = 0;
    size_ = 0;
    missing_ = 0;
  }

  // Appends as the newest entry, dropping the oldest when full.
  void push(bool present, const std::array<double, N>& v) {
    if (capacity_ == 0) return;
    std::size_t slot;
    if (size_ < capacity_) {
      slot = size_++;
    } else {
      slot = head_;
      missing_ -= flags()[slot] == 0;
      head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    }
    missing_ += !present;
    for (std::size_t k = 0; k < N; ++k) values_at(k)[slot] = values_at(k)[slot + capacity_] = v[k];
    flags()[slot] = flags()[slot + capacity_] = present;
  }
  void push(bool present, double v)
    requires(N == 1)
  {
    push(present, std::array<double, 1>{v});
  }

  // The entries oldest to newest as contiguous arrays of size() entries.
  const double* values(std::size_t k = 0) const { return values_at(k) + head_; }
  const std::uint8_t* valid() const { return flags() + head_; }

  // Column staging. Writes the last `count` entries (count <= capacity)
  // to dst[.][0 .. count), oldest first; when fewer are held the front is
  // padded with missing entries (NaN numbers), which make every window
  // reaching them incomplete, as a window that is not yet full is.
  void history(std::size_t count, double* const* dst, std::uint8_t* dst_valid) const {
    const std::size_t have = std::min(count, size_);
    const std::size_t pad = count - have;
    for (std::size_t k = 0; k < N; ++k) {
      std::fill(dst[k], dst[k] + pad, std::numeric_limits<double>::quiet_NaN());
      if (have) std::memcpy(dst[k] + pad, values(k) + (size_ - have), have * sizeof(double));
    }
    std::fill(dst_valid, dst_valid + pad, std::uint8_t{0});
    if (have) std::memcpy(dst_valid + pad, valid() + (size_ - have), have);
  }

  // Replaces the contents with the `count` entries src[.][0 .. count)
  // (count <= capacity), oldest first: the state pushing them into an
  // empty window leaves.
  void assign(std::size_t count, const double* const* src, const std::uint8_t* src_valid) {
    clear();
    if (count == 0) return;
    for (std::size_t k = 0; k < N; ++k) {
      std::memmove(values_at(k), src[k], count * sizeof(double));
      std::memcpy(values_at(k) + capacity_, values_at(k), count * sizeof(double));
    }
    std::memmove(flags(), src_valid, count);
    std::memcpy(flags() + capacity_, flags(), count);
    size_ = count;
    for (std::size_t i = 0; i < count; ++i) missing_ += flags()[i] == 0;
  }

 private:
  double* values_at(std::size_t k) const {
    return reinterpret_cast<double*>(room_.get()) + k * 2 * capacity_;
  }
  std::uint8_t* flags() const { return room_.get() + N * 2 * capacity_ * sizeof(double); }

  struct Free {
    void operator()(unsigned char* p) const { ::operator delete(p); }
  };
  std::unique_ptr<unsigned char, Free> room_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t missing_ = 0;
};

// flags[i] = 1 when valid[i .. i + n) are all present, for i < bars (the
// caller provides bars + n - 1 entries). A running count of missing
// entries, so each bar costs the same whatever n is.
inline void complete_windows(const std::uint8_t* valid, std::size_t bars, std::size_t n, std::uint8_t* flags) {
  std::size_t missing = 0;
  for (std::size_t k = 0; k + 1 < n; ++k) missing += valid[k] == 0;
  for (std::size_t i = 0; i < bars; ++i) {
    missing += valid[i + n - 1] == 0;
    flags[i] = missing == 0;
    missing -= valid[i] == 0;
  }
}

// A Window plus the room to run whole columns against it. A column run
// stages [the last capacity - 1 entries of the window | the run's entries]
// contiguously, so every bar's window, the first bars' included, is a plain
// slice of the stage and no bar needs the streaming path; afterwards the
// window is loaded from the stage's tail, the state pushing every entry
// would leave.
template <std::size_t N = 1>
class StagedWindow : public Window<N> {
 public:
  using Window<N>::Window;

  // Entries of history in front of a run's first entry.
  std::size_t lookback() const { return this->capacity() == 0 ? 0 : this->capacity() - 1; }

  // Room for runs of `bars` entries; may allocate (throws std::bad_alloc),
  // changes no state.
  void reserve(std::size_t bars) {
    const std::size_t need = lookback() + bars;
    if (flag_stage_.size() >= need) return;
    for (auto& s : stage_) s.resize(need);
    flag_stage_.resize(need);
  }

  // Starts a run of `bars` entries: takes the room for it (nothing to take
  // after reserve(bars); otherwise may throw std::bad_alloc before any state
  // changes) and stages the history. The run's entries go to staged(k) +
  // lookback() and staged_valid() + lookback() (the caller writes them).
  void begin(std::size_t bars) {
    reserve(bars);
    double* dst[N];
    for (std::size_t k = 0; k < N; ++k) dst[k] = stage_[k].data();
    this->history(lookback(), dst, flag_stage_.data());
    held_ = this->size();
  }
  double* staged(std::size_t k = 0) { return stage_[k].data(); }
  std::uint8_t* staged_valid() { return flag_stage_.data(); }

  // Loads the window from the staged tail after a run of `bars` entries.
  void commit(std::size_t bars) {
    const std::size_t keep = std::min(this->capacity(), held_ + bars);
    const std::size_t end = lookback() + bars;
    const double* src[N];
    for (std::size_t k = 0; k < N; ++k) src[k] = stage_[k].data() + (end - keep);
    this->assign(keep, src, flag_stage_.data() + (end - keep));
  }

 private:
  std::array<std::vector<double>, N> stage_;
  std::vector<std::uint8_t> flag_stage_;
  std::size_t held_ = 0;
};

}  // namespace sarvek
