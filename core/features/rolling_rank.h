#pragma once

#include "core/features/window_feature.h"
#include "core/features/order_window.h"

namespace sarvek {

// The percentile rank of the newest value among the last `window` values of
// the first input column (itself included, ties sharing their average
// rank), as pandas' rank(pct=True); a NaN in the window gives NaN. The
// counts are exact integers: a scan per bar in update(), a sorted copy of
// the window kept bar to bar in column runs.
class RollingRank final : public WindowFeature<RollingRank> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<RollingRank>;
  RollingRank(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  double value(const double* window);
  void column(const StagedRun<1>& r, double* out);

  SortedWindow sorted_;  // column runs' sorted window
};

}  // namespace sarvek
