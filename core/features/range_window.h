#pragma once

#include <optional>

#include "core/feature.h"
#include "core/ring_buffer.h"

namespace sarvek {

// The shape the range-based volatility estimators share: every bar becomes
// one variance term (missing for a bar whose prices cannot give one), the
// terms of the last `window` bars are kept, and their mean is recomputed
// from the window on every bar, so nothing drifts and an invalid bar stops
// mattering once its term leaves.
class RangeVolatilityFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { terms_.clear(); }

 protected:
  RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs);

  // Appends the bar's term, dropping the oldest when the window is full.
  // Returns sum / window once the window is full and every term in it is a
  // number; the sum runs oldest to newest from 0.0.
  std::optional<double> push_term(const Value& term);

 private:
  RingBuffer<Value> terms_;
};

}  // namespace sarvek
