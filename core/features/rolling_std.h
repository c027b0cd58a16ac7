#pragma once

#include "core/features/spread_window.h"

namespace sarvek {

// Rolling standard deviation with `ddof` delta degrees of freedom (1: the
// sample deviation): sqrt(sum((x - mean)^2) / (window - ddof)) over the
// last `window` values of the first input column.
class RollingStd final : public SpreadFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<RollingStd> create(Names inputs, std::size_t window, Names outputs, std::size_t ddof);

  std::unique_ptr<Feature> fresh() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  using SpreadFeature::SpreadFeature;
};

}  // namespace sarvek
