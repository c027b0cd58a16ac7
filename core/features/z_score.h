#pragma once

#include "core/features/spread_window.h"

namespace sarvek {

// Rolling z-score: (x - mean) / sd of the newest value of the first input
// column against the last `window` values, itself included, sd with `ddof`
// delta degrees of freedom; missing where the deviation is exactly zero.
class ZScore final : public SpreadFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<ZScore> create(Names inputs, std::size_t window, Names outputs, std::size_t ddof);

  std::unique_ptr<Feature> fresh() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  using SpreadFeature::SpreadFeature;
};

}  // namespace sarvek
