#include "core/features/wma.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

// The weighted terms summed oldest to newest from 0.0, divided once by the
// weight total n * (n + 1) / 2 (lanes::wma).
double Wma::value(const double* window) {
  return lanes::wma<double>(window, window_, lanes::weight_total(window_));
}

void Wma::column(const StagedRun<1>& r, double* out) {
  simd::kernels().wma(r.values[0], r.bars, r.span, lanes::weight_total(window_), out);
}

const FeatureDescription& Wma::description() {
  static const FeatureDescription d = window_description<Wma>(
      "Wma",
      "Linearly Weighted Moving Average over a rolling window (weight 1 for the oldest value, window for the "
      "newest).",
      "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.");
  return d;
}

}  // namespace sarvek
