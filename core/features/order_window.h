#pragma once

// Order statistics over the staged windows of a column run, each exact: the
// result is one of the window's values (extremes, the two neighbours of a
// quantile) or an integer count (ranks), so the incremental structures here
// give the bits of the per-bar scans the streaming update uses.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace sarvek {

// For every bar i < bars, the extreme of p[i .. i + n) by a monotonic queue,
// O(1) amortised per bar: out[i] is bit for bit lanes::window_max (Beyond =
// std::greater) or lanes::window_min (std::less) of the window. A value
// joins the queue after dropping the queued values it is strictly beyond,
// so of equal values (0.0 and -0.0) the oldest stays in front, as the scan
// keeps it; NaNs stay out of the queue, and while one is in the window the
// result is the newest NaN, the value the scan ends on. `ring` has room for
// n positions.
template <class Beyond>
void window_extremes(const double* p, std::size_t bars, std::size_t n, double* out, std::size_t* ring) {
  const Beyond beyond{};
  const std::size_t total = bars + n - 1;
  std::size_t head = 0;   // ring slot of the front
  std::size_t size = 0;   // positions queued
  std::size_t nan_end = 0;  // one past the newest NaN's position, 0 for none
  for (std::size_t j = 0; j < total; ++j) {
    if (size > 0 && ring[head] + n <= j) {  // left the window: room for j
      head = head + 1 == n ? 0 : head + 1;
      --size;
    }
    const double x = p[j];
    if (x != x) {
      nan_end = j + 1;
    } else {
      while (size > 0) {
        std::size_t back = head + size - 1;
        if (back >= n) back -= n;
        if (!beyond(x, p[ring[back]])) break;
        --size;
      }
      std::size_t slot = head + size;
      if (slot >= n) slot -= n;
      ring[slot] = j;
      ++size;
    }
    if (j + 1 < n) continue;
    const std::size_t i = j + 1 - n;
    out[i] = nan_end > i ? p[nan_end - 1] : p[ring[head]];
  }
}

// Doubles other than NaN as integers in the same order, with -0.0 just below
// 0.0: a total order in which equal keys are equal bits, so the sorted keys
// of a window are one sequence however they were reached.
inline std::int64_t order_key(double x) {
  const auto k = std::bit_cast<std::int64_t>(x);
  return k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k;
}
inline double order_value(std::int64_t k) {
  return std::bit_cast<double>(k < 0 ? k ^ std::numeric_limits<std::int64_t>::max() : k);
}

// The values of a sliding window as sorted keys (NaNs counted apart), kept
// by one binary search and one memmove per bar.
class SortedWindow {
 public:
  // Loads the n values from p.
  void assign(const double* p, std::size_t n) {
    keys_.resize(n);
    nans_ = 0;
    std::size_t m = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (p[k] != p[k])
        ++nans_;
      else
        keys_[m++] = order_key(p[k]);
    }
    size_ = m;
    std::sort(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(m));
  }

  // The window moves on: `out` leaves (it is one of the values), `in` joins.
  void replace(double out, double in) {
    const bool out_nan = out != out;
    const bool in_nan = in != in;
    if (out_nan || in_nan) {
      if (out_nan)
        --nans_;
      else
        erase(order_key(out));
      if (in_nan)
        ++nans_;
      else
        insert(order_key(in));
      return;
    }
    const std::int64_t ko = order_key(out);
    const std::int64_t ki = order_key(in);
    if (ko == ki) return;
    std::int64_t* d = keys_.data();
    const std::size_t from = position(ko);
    if (ki > ko) {  // slide the keys between left by one
      const std::size_t to = static_cast<std::size_t>(std::lower_bound(d + from + 1, d + size_, ki) - d);
      std::memmove(d + from, d + from + 1, (to - from - 1) * sizeof(std::int64_t));
      d[to - 1] = ki;
    } else {  // slide them right by one
      const std::size_t to = static_cast<std::size_t>(std::lower_bound(d, d + from, ki) - d);
      std::memmove(d + to + 1, d + to, (from - to) * sizeof(std::int64_t));
      d[to] = ki;
    }
  }

  bool has_nan() const { return nans_ > 0; }
  // The k-th smallest value (no NaN in the window).
  double at(std::size_t k) const { return order_value(keys_[k]); }
  // Values numerically below x and equal to x (0.0 and -0.0 are equal).
  std::size_t below(double x) const {
    const std::int64_t k = order_key(x == 0.0 ? -0.0 : x);
    return static_cast<std::size_t>(std::lower_bound(keys_.begin(), keys_.begin() + span(), k) - keys_.begin());
  }
  std::size_t not_above(double x) const {
    const std::int64_t k = order_key(x == 0.0 ? 0.0 : x);
    return static_cast<std::size_t>(std::upper_bound(keys_.begin(), keys_.begin() + span(), k) - keys_.begin());
  }

 private:
  std::ptrdiff_t span() const { return static_cast<std::ptrdiff_t>(size_); }
  std::size_t position(std::int64_t k) const {
    return static_cast<std::size_t>(std::lower_bound(keys_.data(), keys_.data() + size_, k) - keys_.data());
  }
  void erase(std::int64_t k) {
    const std::size_t at = position(k);
    std::memmove(keys_.data() + at, keys_.data() + at + 1, (size_ - at - 1) * sizeof(std::int64_t));
    --size_;
  }
  void insert(std::int64_t k) {
    const std::size_t at = position(k);
    std::memmove(keys_.data() + at + 1, keys_.data() + at, (size_ - at) * sizeof(std::int64_t));
    keys_[at] = k;
    ++size_;
  }

  std::vector<std::int64_t> keys_;  // room for the whole window, the first size_ sorted
  std::size_t size_ = 0;
  std::size_t nans_ = 0;
};

}  // namespace sarvek
