#pragma once

#include <vector>

#include "core/features/order_window.h"
#include "core/features/window_feature.h"

namespace sarvek {

// The q-quantile of the last `window` values of the first input column,
// interpolated linearly between neighbouring order statistics at
// h = (window - 1) q, as NumPy's default quantile; a NaN in the window
// gives NaN. Exact order statistics: a partial selection per bar in
// update(), a sorted copy of the window kept bar to bar in column runs.
class RollingQuantile final : public WindowFeature<RollingQuantile> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<RollingQuantile> create(Names inputs, std::size_t window, Names outputs, double q);

  double q() const { return q_; }

 private:
  friend WindowFeature<RollingQuantile>;
  RollingQuantile(Names inputs, std::size_t window, Names outputs, double q);

  std::tuple<Names, std::size_t, Names, double> create_arguments() const { return {inputs_, window_, outputs_, q_}; }
  double value(const double* window);
  void column(const StagedRun<1>& r, double* out);

  double q_;
  std::size_t low_;  // the order statistic below h = (window - 1) q
  double g_;         // h - low_
  std::vector<double> scratch_;  // update()'s copy of the window
  SortedWindow sorted_;          // column runs' sorted window
};

}  // namespace sarvek
