#pragma once

#include "core/features/window_feature.h"

namespace sarvek {

// Linearly weighted moving average of the last `window` values of the first
// input column, weight 1 for the oldest and `window` for the newest,
// recomputed from the window on every bar so that results never drift.
class Wma final : public WindowFeature<Wma> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<Wma>;
  Wma(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  double value(const double* window);
  void column(const StagedRun<1>& r, double* out);
};

}  // namespace sarvek
