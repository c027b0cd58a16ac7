#pragma once

#include "core/features/moment_window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling sample skewness: the adjusted Fisher-Pearson coefficient
// G1 = n / ((n - 1)(n - 2)) * sum(((x - mean) / s)^3) over the last `window`
// values of the first input column, s the sample standard deviation.
class Skewness final : public MomentFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Skewness> create(Names inputs, std::size_t window, Names outputs);

  std::unique_ptr<Feature> fresh() const override;
  Constants constants() const override { return {true, coef_, 0.0, 0.0}; }

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Skewness(Names inputs, std::size_t window, Names outputs);

  double coef_;  // n / ((n - 1)(n - 2))
};

}  // namespace sarvek
