#pragma once

#include "core/features/moment_window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling sample excess kurtosis, the bias-corrected estimator
// G2 = n(n + 1) / ((n - 1)(n - 2)(n - 3)) * sum(((x - mean) / s)^4)
//      - 3(n - 1)^2 / ((n - 2)(n - 3))
// over the last `window` values of the first input column, s the sample
// standard deviation. A normal sample gives values near 0.
class Kurtosis final : public MomentFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Kurtosis> create(Names inputs, std::size_t window, Names outputs);

  std::unique_ptr<Feature> fresh() const override;
  Constants constants() const override { return {false, 0.0, scale_, correction_}; }

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Kurtosis(Names inputs, std::size_t window, Names outputs);

  double scale_;       // n(n + 1) / ((n - 1)(n - 2)(n - 3))
  double correction_;  // 3(n - 1)^2 / ((n - 2)(n - 3))
};

}  // namespace sarvek
