#pragma once

#include <vector>

#include "core/features/window_feature.h"

namespace sarvek {

// The smallest of the last `window` values of the first input column, exact
// (a scan of the window, oldest to newest, on every bar; blocks of
// running extremes in column runs); a NaN anywhere in
// the window gives NaN.
class RollingMin final : public WindowFeature<RollingMin> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<RollingMin>;
  RollingMin(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  double value(const double* window);
  void column(const StagedRun<1>& r, double* out);

  std::vector<double> room_;  // scratch of column runs
};

}  // namespace sarvek
