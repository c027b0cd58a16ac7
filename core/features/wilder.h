#pragma once

#include "core/state_io.h"
#include <array>
#include <cstddef>

namespace sarvek {

// Wilder's smoothing of K per-bar terms that need the bar before (a price
// change, a true range), shared by Rsi and Atr.
//
// Seeding: a collection of window + 1 consecutive bars gives `window`
// terms; their plain means (sums oldest to newest from 0.0, then / window)
// start the averages on the collection's last bar. A missing bar anywhere in
// a collection throws the whole collection away when it ends, and the next
// collection starts on the bar after it, so collections are counted from
// bar 0. Then, on every present bar, avg = (avg * (window - 1) + term) /
// window. A missing bar while running drops the averages (that bar is
// missing) and seeding starts again on the bar after it: the Ema way.
template <std::size_t K>
class WilderAverages {
 public:
  using Terms = std::array<double, K>;

  explicit WilderAverages(std::size_t window)
      : window_(window), n_(static_cast<double>(window)), n_minus_one_(static_cast<double>(window - 1)) {}

  void reset() {
    running_ = false;
    complete_ = true;
    count_ = 0;
    avg_.fill(0.0);
  }

  // One bar, `present` when every value it reads is. `terms()` gives the
  // bar's terms from it and the bar before; it is called only when both are
  // present. Returns whether the averages are valid on this bar.
  template <class TermsOf>
  bool advance(bool present, TermsOf&& terms) {
    if (running_) {
      if (!present) {
        reset();
        return false;
      }
      const Terms t = terms();
      for (std::size_t k = 0; k < K; ++k) avg_[k] = smooth(avg_[k], t[k]);
      return true;
    }
    ++count_;
    if (!present) {
      complete_ = false;
    } else if (count_ > 1 && complete_) {
      const Terms t = terms();
      for (std::size_t k = 0; k < K; ++k) avg_[k] += t[k];
    }
    if (count_ <= window_) return false;
    if (!complete_) {
      reset();
      return false;
    }
    for (std::size_t k = 0; k < K; ++k) avg_[k] = avg_[k] / n_;
    running_ = true;
    return true;
  }

  double average(std::size_t k) const { return avg_[k]; }

  // Running: seeded, so that every present bar smooths its terms in; column
  // runs then keep the averages in registers (set_average writes them back).
  bool running() const { return running_; }
  void set_average(std::size_t k, double value) { avg_[k] = value; }

  // One step of the smoothing, as written: (avg * (window - 1) + term) / window.
  double smooth(double avg, double term) const { return (avg * n_minus_one_ + term) / n_; }

  // The first bar at which the averages can be valid when the values read
  // can be valid from bar `start` on: the first whole collection of
  // window + 1 bars, counted from bar 0, from `start`.
  // The averages' state, saved or restored (core/state_io.h).
  void state(StateIO& io) {
    io(running_);
    io(complete_);
    std::uint64_t count = count_;
    io(count);
    if (io.loading() && count > window_ + 1)
      io.fail("a collection holds " + std::to_string(count) + " bars, more than " + std::to_string(window_ + 1));
    count_ = io.failed() ? 0 : count;
    for (double& a : avg_) io(a);
  }

  static std::size_t first_valid(std::size_t window, std::size_t start) {
    const std::size_t span = window + 1;
    if (start % span) start += span - start % span;
    return start + window;
  }

 private:
  std::size_t window_;
  double n_;
  double n_minus_one_;
  bool running_ = false;
  bool complete_ = true;
  // Bars in the current collection.
  std::size_t count_ = 0;
  // The sums of the terms while collecting, the averages while running.
  Terms avg_{};
};

}  // namespace sarvek
