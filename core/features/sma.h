#pragma once

#include "core/features/window_feature.h"

namespace sarvek {

// Simple moving average: the mean of the last `window` values of the first
// input column, recomputed from the window on every bar so that results
// never drift and a missing value stops mattering once it leaves.
class Sma final : public WindowFeature<Sma> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  std::unique_ptr<LaneBlock> lanes() const override;

 private:
  friend WindowFeature<Sma>;
  // window_mean: a NaN entry makes the mean NaN; flags never read.
  static constexpr bool kDirect = true;
  Sma(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  double value(const double* window);
  void column(const StagedRun<1>& r, double* out);
};

}  // namespace sarvek
