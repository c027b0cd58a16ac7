#include "core/features/vwap.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Result<void> Vwap::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain price and volume columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return {};
}

// Both sums oldest to newest from 0.0, divided once (lanes::vwap).
Values Vwap::value() {
  const auto r = lanes::vwap<double>(buffer_.values(0), buffer_.values(1), window_);
  return {r.ok ? Value(r.value) : kMissing};
}

void Vwap::column(const StagedRun<2>& r, std::span<const ColumnOut> o) {
  simd::kernels().vwap(r.values[0], r.values[1], r.bars, r.span, o[0].values, o[0].valid);
}

const FeatureDescription& Vwap::description() {
  static const FeatureDescription d = window_description<Vwap>(
      "Vwap",
      "Volume-weighted average price over a rolling window (price, volume); NaN where the volume sums to 0.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or where the window's volume "
      "is 0.",
      window_params("must contain price and volume columns", 2),
      2, 1);
  return d;
}

}  // namespace sarvek
