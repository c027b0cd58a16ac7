#pragma once

#include <vector>

#include "core/feature.h"
#include "core/features/order_window.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// The q-quantile of the last `window` values of the first input column,
// interpolated linearly between neighbouring order statistics at
// h = (window - 1) q, as NumPy's default quantile; a NaN in the window
// gives NaN. Exact order statistics: a partial selection per bar in
// update(), a sorted copy of the window kept bar to bar in column runs.
class RollingQuantile final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<RollingQuantile> create(Names inputs, std::size_t window, Names outputs, double q);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override { buffer_.clear(); }
  std::size_t values_read() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }
  double q() const { return q_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  RollingQuantile(Names inputs, std::size_t window, Names outputs, double q);

  double q_;
  std::size_t low_;  // the order statistic below h = (window - 1) q
  double g_;         // h - low_
  StagedWindow<1> buffer_;
  std::vector<double> scratch_;  // update()'s copy of the window
  SortedWindow sorted_;          // column runs' sorted window
};

}  // namespace sarvek
