#include "core/features/rolling_correlation.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Result<void> RollingCorrelation::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain x and y columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 2) return invalid_input("window must be >= 2");
  return {};
}

// Means first, then the deviation sums, oldest to newest (lanes::correlation).
Values RollingCorrelation::value() {
  const auto r = lanes::correlation<double>(buffer_.values(0), buffer_.values(1), window_);
  return {r.ok ? Value(r.value) : kMissing};
}

void RollingCorrelation::column(const StagedRun<2>& r, std::span<const ColumnOut> o) {
  simd::kernels().correlation(r.values[0], r.values[1], r.bars, r.span, o[0].values, o[0].valid);
}

const FeatureDescription& RollingCorrelation::description() {
  static const FeatureDescription d = window_description<RollingCorrelation>(
      "RollingCorrelation",
      "Rolling Pearson correlation of two columns (x, y) over a window; NaN where either is flat.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or over a flat window.",
      {names_param("inputs", "must contain x and y columns", 2), count_param("window", "must be >= 2", 2),
       names_param("outputs", "must not be empty", 1)},
      2, 1);
  return d;
}

}  // namespace sarvek
