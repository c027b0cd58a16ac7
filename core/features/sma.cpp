#include "core/features/sma.h"
#include "core/lane_block.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

// Oldest to newest from 0.0 (lanes::window_mean): the order is fixed so
// results are reproducible bit for bit.
double Sma::value(const double* window) { return lanes::window_mean<double>(window, window_); }

void Sma::column(const StagedRun<1>& r, double* out) {
  simd::kernels().window_mean(r.values[0], r.bars, r.span, out);
}

const FeatureDescription& Sma::description() {
  static const FeatureDescription d = window_description<Sma>(
      "Sma", "Simple Moving Average over a rolling window.",
      "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.", Visibility::module);
  return d;
}

std::unique_ptr<LaneBlock> Sma::lanes() const {
  return window_lanes(window_, [w = window_](const double* rows, std::size_t blocks, std::size_t stride,
                                             const LaneOut& out) {
    simd::kernels().lanes_mean(rows, blocks, stride, w, out.values);
  });
}

}  // namespace sarvek
