#pragma once

#include <optional>

#include "core/feature.h"
#include "core/ring_buffer.h"

namespace sarvek {

// The shape Skewness and Kurtosis share: the last `window` values of the
// first input column, and the sample mean and standard deviation of a full
// window. Each standardized moment is recomputed from the window on every
// bar, so nothing drifts and a missing value stops mattering once it leaves.
class MomentFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { buffer_.clear(); }
  std::size_t values_read() const override { return 1; }

 protected:
  struct Moments {
    double mean;
    double sd;
  };

  MomentFeature(Names inputs, std::size_t window, Names outputs);

  // Appends the bar's value, dropping the oldest when the window is full.
  // Returns the window's mean and sample standard deviation once the window
  // is full, holds no missing value and its variance is not exactly zero
  // (a NaN variance goes on as a number).
  std::optional<Moments> push(const Value& value);

  // Oldest to newest over a window known to hold only numbers.
  template <class F>
  void each(F&& f) const {
    buffer_.visit([&](const Value& v) {
      f(*v);
      return true;
    });
  }

  RingBuffer<Value> buffer_;
};

}  // namespace sarvek
