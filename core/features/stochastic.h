#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Fast stochastic oscillator from high, low and close: %K, where the close
// sits in the range of the last `window` bars (0 at the lowest low, 100 at
// the highest high), and %D, the mean of the last `smooth` %K values.
class Stochastic final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Stochastic> create(Names inputs, std::size_t window, Names outputs, std::size_t smooth);

  // %K's: %D comes smooth - 1 bars later.
  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override {
    bars_.clear();
    ks_.clear();
  }
  void state(StateIO& io) override {
    io(bars_);
    io(ks_);
  }
  std::size_t values_read() const override { return 3; }
  void reserve_columns(std::size_t bars) override {
    bars_.reserve(bars);
    ks_.reserve(bars);
  }
  std::size_t work_per_bar() const override { return window_ + smooth_; }
  std::size_t smooth() const { return smooth_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Stochastic(Names inputs, std::size_t window, Names outputs, std::size_t smooth);

  StagedWindow<3> bars_;  // high, low, close
  StagedWindow<1> ks_;    // the last `smooth` %K, missing where a %K was
  std::size_t smooth_;
};

}  // namespace sarvek
