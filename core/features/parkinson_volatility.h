#pragma once

#include "core/features/range_window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling Parkinson volatility from high and low: sqrt(mean(ln(H / L)^2) /
// (4 ln 2)) over the last `window` bars, per bar, not annualised. Reads the
// first two inputs as high and low.
class ParkinsonVolatility final : public RangeFeature<ParkinsonVolatility, 2> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  friend RangeFeature<ParkinsonVolatility, 2>;
  ParkinsonVolatility(Names inputs, std::size_t window, Names outputs)
      : RangeFeature(std::move(inputs), window, std::move(outputs)) {}

  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
};

}  // namespace sarvek
