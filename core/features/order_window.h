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

// For every bar i < bars, the extreme of p[i .. i + n) in O(1) per bar
// whatever n, bit for bit lanes::window_max (Beyond = std::greater) or
// lanes::window_min (std::less) of the window. The positions are cut into
// blocks of n: a window starting at b + t (b a block's start) is the tail
// of block b from b + t (its extremes `tail`, kept in `room`, n doubles)
// followed by the head of the next block up to b + t + n - 1 (a running
// extreme). Each choice keeps the older of equal values (0.0 and -0.0), as
// the scan does, and every comparison maps to one max/min instruction. A
// NaN makes its own blocks' extremes meaningless, but only for windows that
// hold it: those are given the newest NaN afterwards, the value the scan
// ends on.
template <class Beyond>
void window_extremes(const double* p, std::size_t bars, std::size_t n, double* out, double* room) {
  const Beyond beyond{};
  double* tail = room;
  for (std::size_t b = 0; b < bars; b += n) {
    const double* block = p + b;
    double e = block[n - 1];
    tail[n - 1] = e;
    for (std::size_t k = n - 1; k-- > 0;) {
      e = beyond(e, block[k]) ? e : block[k];  // equal: the older block[k]
      tail[k] = e;
    }
    const std::size_t m = std::min(n, bars - b);
    out[b] = tail[0];
    if (m < 2) continue;
    const double* next = p + b + n;
    double head = next[0];
    out[b + 1] = beyond(head, tail[1]) ? head : tail[1];
    for (std::size_t t = 2; t < m; ++t) {
      head = beyond(next[t - 1], head) ? next[t - 1] : head;  // equal: the older head
      out[b + t] = beyond(head, tail[t]) ? head : tail[t];    // equal: the older tail
    }
  }
  std::size_t nan_end = 0;  // one past the newest NaN's position, 0 for none
  for (std::size_t j = 0; j + 1 < n; ++j)
    if (p[j] != p[j]) nan_end = j + 1;
  for (std::size_t i = 0; i < bars; ++i) {
    const std::size_t j = i + n - 1;
    if (p[j] != p[j]) nan_end = j + 1;
    if (nan_end > i) out[i] = p[nan_end - 1];
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

// The first of the n sorted keys from d that is not below k (`strict`:
// above k), as std::lower_bound (std::upper_bound), halving without a
// branch on the comparison: the windows' values come in no order a
// predictor could follow.
template <bool strict>
inline std::size_t key_bound(const std::int64_t* d, std::size_t n, std::int64_t k) {
  if (n == 0) return 0;
  const std::int64_t* base = d;
  while (n > 1) {
    const std::size_t half = n / 2;
    const bool right = strict ? base[half - 1] <= k : base[half - 1] < k;
    base += half & (std::size_t{0} - static_cast<std::size_t>(right));  // a mask, not a jump
    n -= half;
  }
  return static_cast<std::size_t>(base - d) + (strict ? *base <= k : *base < k);
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
      const std::size_t to = from + 1 + key_bound<false>(d + from + 1, size_ - from - 1, ki);
      std::memmove(d + from, d + from + 1, (to - from - 1) * sizeof(std::int64_t));
      d[to - 1] = ki;
    } else {  // slide them right by one
      const std::size_t to = key_bound<false>(d, from, ki);
      std::memmove(d + to + 1, d + to, (from - to) * sizeof(std::int64_t));
      d[to] = ki;
    }
  }

  bool has_nan() const { return nans_ > 0; }
  // The k-th smallest value (no NaN in the window).
  double at(std::size_t k) const { return order_value(keys_[k]); }
  // Values numerically below x and equal to x (0.0 and -0.0 are equal).
  std::size_t below(double x) const {
    return key_bound<false>(keys_.data(), size_, order_key(x == 0.0 ? -0.0 : x));
  }
  std::size_t not_above(double x) const {
    return key_bound<true>(keys_.data(), size_, order_key(x == 0.0 ? 0.0 : x));
  }

 private:
  std::size_t position(std::int64_t k) const { return key_bound<false>(keys_.data(), size_, k); }
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

// The column run of a sorted-window formula: for every bar i < bars the
// window p[i .. i + n) sorted (loaded at bar 0, then moved by one value per
// bar), out[i] = formula(sorted, i), or NaN when a NaN is in the window.
template <class Formula>
void sorted_windows(SortedWindow& sorted, const double* p, std::size_t bars, std::size_t n, double* out,
                    Formula&& formula) {
  for (std::size_t i = 0; i < bars; ++i) {
    if (i == 0)
      sorted.assign(p, n);
    else
      sorted.replace(p[i - 1], p[i + n - 1]);
    out[i] = sorted.has_nan() ? std::numeric_limits<double>::quiet_NaN() : formula(sorted, i);
  }
}

}  // namespace sarvek
