#pragma once

#include <limits>

#include "core/feature.h"
#include "core/ring_buffer.h"

namespace sarvek {

// The shared body of the return features: the first input column over a
// lookback of `window` bars. The buffer keeps the last window + 1 values;
// each full bar reads only its two ends, then (oldest) and now (newest), so
// the cost per bar does not depend on the window. `Derived` supplies
//   static Value value_of(const Value& then, const Value& now);
// which holds the class's validity rule and formula.
template <class Derived>
class LookbackReturn : public ConfiguredFeature {
 public:
  static Result<Derived> create(Names inputs, std::size_t window, Names outputs) {
    if (inputs.empty()) return invalid_input("inputs must not be empty");
    if (outputs.empty()) return invalid_input("outputs must not be empty");
    if (window == 0) return invalid_input("window must be non-zero");
    // The buffer holds window + 1 values; that count must be representable.
    if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
    return Derived(std::move(inputs), window, std::move(outputs));
  }

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override { return rebuild<Derived>(inputs_, window_, outputs_); }
  void reset() override { buffer_.clear(); }
  std::size_t values_read() const override { return 1; }

 protected:
  LookbackReturn(Names inputs, std::size_t window, Names outputs)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window + 1) {}

  Values step(std::span<const Value> values) override {
    buffer_.push_back(values[0]);
    if (!buffer_.full()) return {kMissing};
    return {Derived::value_of(buffer_.front(), buffer_.back())};
  }

 private:
  RingBuffer<Value> buffer_;
};

}  // namespace sarvek
