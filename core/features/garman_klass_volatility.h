#pragma once

#include "core/features/range_window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling Garman-Klass volatility from high, low, open and close:
// sqrt(mean(0.5 ln(H / L)^2 - (2 ln 2 - 1) ln(C / O)^2)) over the last
// `window` bars, per bar, not annualised. Reads the first four inputs as
// high, low, open and close (the order RogersSatchellVolatility reads). A
// negative mean gives missing.
class GarmanKlassVolatility final : public RangeFeature<GarmanKlassVolatility, 4> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  friend RangeFeature<GarmanKlassVolatility, 4>;
  GarmanKlassVolatility(Names inputs, std::size_t window, Names outputs)
      : RangeFeature(std::move(inputs), window, std::move(outputs)) {}

  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
};

}  // namespace sarvek
