#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/features/wilder.h"

namespace sarvek {

struct FeatureDescription;

// Wilder's average true range. Reads the first three inputs as high, low and
// close; the true range of a bar is max(high - low, |high - previous close|,
// |low - previous close|), Wilder-smoothed after a seed of the plain mean of
// the first `window` true ranges.
class Atr final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Atr> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    averages_.state(io);
    io(previous_);
  }
  std::size_t values_read() const override { return 3; }
  // One blend per bar, whatever the window.
  std::size_t work_per_bar() const override { return 1; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Atr(Names inputs, std::size_t window, Names outputs);

  // One bar: its value, or missing.
  Value advance(bool present, double high, double low, double close);

  WilderAverages<1> averages_;
  double previous_ = 0.0;  // the last present close
};

}  // namespace sarvek
