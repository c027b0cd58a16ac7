#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/features/wilder.h"

namespace sarvek {

struct FeatureDescription;

// Wilder's relative strength index of the first input column: the average
// gain and the average loss of the price changes, Wilder-smoothed after a
// seed of the plain means of the first `window` changes, as
// 100 - 100 / (1 + gain / loss).
class Rsi final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Rsi> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    averages_.state(io);
    io(previous_);
  }
  std::size_t values_read() const override { return 1; }
  // One blend per bar, whatever the window.
  std::size_t work_per_bar() const override { return 1; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Rsi(Names inputs, std::size_t window, Names outputs);

  // One bar: its value, or missing.
  Value advance(bool present, double x);

  WilderAverages<2> averages_;  // gain, loss
  double previous_ = 0.0;       // the last present price
};

}  // namespace sarvek
