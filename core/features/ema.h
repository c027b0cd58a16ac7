#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Exponential moving average of the first input column, seeded with the
// simple mean of the first `window` values. A missing input discards the
// average; the next `window` values seed it again.
class Ema final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Ema> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    io(current_);
    io(buffer_);
  }
  std::size_t values_read() const override { return 1; }
  // One blend per bar, whatever the window.
  std::size_t work_per_bar() const override { return 1; }

  // Smoothing factor 2 / (window + 1).
  double alpha() const { return alpha_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Ema(Names inputs, std::size_t window, Names outputs);

  // One bar: its value, or missing.
  Value advance(bool present, double x);

  double alpha_;
  Value current_;
  // Values collected for the seed; empty whenever current_ is present.
  Window<1> buffer_;
};

}  // namespace sarvek
