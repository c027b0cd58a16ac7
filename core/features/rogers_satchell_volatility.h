#pragma once

#include "core/features/range_window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling Rogers-Satchell volatility from high, low, open and close:
// sqrt(mean(ln(H / C) ln(H / O) + ln(L / C) ln(L / O))) over the last
// `window` bars, per bar, not annualised. Reads the first four inputs as
// high, low, open and close. A mean that is not positive gives missing.
class RogersSatchellVolatility final : public RangeFeature<RogersSatchellVolatility, 4> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  friend RangeFeature<RogersSatchellVolatility, 4>;
  RogersSatchellVolatility(Names inputs, std::size_t window, Names outputs)
      : RangeFeature(std::move(inputs), window, std::move(outputs)) {}

  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
};

}  // namespace sarvek
