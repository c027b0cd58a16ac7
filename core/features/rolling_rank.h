#pragma once

#include "core/feature.h"
#include "core/features/order_window.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// The percentile rank of the newest value among the last `window` values of
// the first input column (itself included, ties sharing their average
// rank), as pandas' rank(pct=True); a NaN in the window gives NaN. The
// counts are exact integers: a scan per bar in update(), a sorted copy of
// the window kept bar to bar in column runs.
class RollingRank final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<RollingRank> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override { buffer_.clear(); }
  std::size_t values_read() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  RollingRank(Names inputs, std::size_t window, Names outputs);

  StagedWindow<1> buffer_;
  SortedWindow sorted_;  // column runs' sorted window
};

}  // namespace sarvek
