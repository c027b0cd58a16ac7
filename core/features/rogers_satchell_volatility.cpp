#include "core/features/rogers_satchell_volatility.h"
#include "core/lane_block.h"

#include <cmath>

#include "core/features/window_feature.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

// The bar's term (range_window.h) for positive prices with H >= L; none
// otherwise.
BarTerm rogers_satchell_term(double h, double l, double o, double c) {
  if (!range_prices_valid(h, l, o, c)) return kNoTerm;
  return {rogers_satchell_value(h, l, o, c), true};
}

}  // namespace

Result<void> RogersSatchellVolatility::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 4) return invalid_input("inputs must contain high, low, open, and close columns");
  if (window == 0) return invalid_input("window must be non-zero");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return {};
}

// Not positive (a window of flat bars included) or NaN: no volatility.
Values RogersSatchellVolatility::step(std::span<const Value> values) {
  if (!push_term(ohlc_term(values, rogers_satchell_term))) return {kMissing};
  const auto r = lanes::rogers_satchell<double>(window_terms(), window_);
  if (!r.ok) return {kMissing};
  return {r.value};
}

void RogersSatchellVolatility::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                            std::span<const ColumnOut> out) {
  run_ohlc_terms(bars, in, out, rogers_satchell_term, [&](const double* t, std::size_t n, const ColumnOut& o) {
    simd::kernels().rogers_satchell(t, n, window_, o.values, o.valid);
  });
}

const FeatureDescription& RogersSatchellVolatility::description() {
  static const FeatureDescription d = window_description<RogersSatchellVolatility>(
      "RogersSatchellVolatility", "Rolling Rogers-Satchell volatility estimator (OHLC).",
      "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input.",
      window_params("must contain high, low, open, and close columns", 4), 4, 1, Visibility::module);
  return d;
}

std::unique_ptr<LaneBlock> RogersSatchellVolatility::lanes() const {
  return term_lanes(
      window_,
      [](std::span<const LaneIn> in, std::size_t used, double* terms, std::uint8_t* ok) {
        lane_terms<4>(in, used, terms, ok, rogers_satchell_term);
      },
      [w = window_](const double* rows, std::size_t blocks, std::size_t stride, const LaneOut& out) {
        simd::kernels().lanes_rogers_satchell(rows, blocks, stride, w, out.values, out.valid);
      });
}

}  // namespace sarvek
