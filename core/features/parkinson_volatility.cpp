#include "core/features/parkinson_volatility.h"
#include "core/lane_block.h"

#include <cmath>

#include "core/features/window_feature.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

// (ln(H / L))^2 for a bar with both prices positive and H >= L; missing
// otherwise. The comparisons are IEEE ones, so a NaN price fails them.
BarTerm parkinson_bar(double h, double l) {
  if (!(h > 0.0 && l > 0.0 && h >= l)) return kNoTerm;
  const double r = std::log(h / l);
  return {r * r, true};
}

Value parkinson_term(const Value& high, const Value& low) {
  if (!high || !low) return kMissing;
  const BarTerm t = parkinson_bar(*high, *low);
  return t.ok ? Value(t.value) : kMissing;
}

}  // namespace

Result<void> ParkinsonVolatility::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain high and low columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return {};
}

// A window of flat bars (H = L) gives 0, a value.
Values ParkinsonVolatility::step(std::span<const Value> values) {
  if (!push_term(parkinson_term(values[0], values[1]))) return {kMissing};
  return {lanes::parkinson<double>(window_terms(), window_)};
}

void ParkinsonVolatility::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                       std::span<const ColumnOut> out) {
  run_terms(
      bars, out,
      [&](std::size_t i) { return in[0].valid[i] && in[1].valid[i] ? parkinson_bar(in[0].values[i], in[1].values[i]) : kNoTerm; },
      [&](const double* t, std::size_t n, const ColumnOut& o) { simd::kernels().parkinson(t, n, window_, o.values); });
}

const FeatureDescription& ParkinsonVolatility::description() {
  static const FeatureDescription d = window_description<ParkinsonVolatility>(
      "ParkinsonVolatility", "Rolling Parkinson volatility estimator (high/low).",
      "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input.",
      window_params("must contain high and low columns", 2), 2, 1, Visibility::module);
  return d;
}

std::unique_ptr<LaneBlock> ParkinsonVolatility::lanes() const {
  return term_lanes(
      window_,
      [](std::span<const LaneIn> in, std::size_t used, double* terms, std::uint8_t* ok) {
        lane_terms<2>(in, used, terms, ok, parkinson_bar);
      },
      [w = window_](const double* rows, std::size_t blocks, std::size_t stride, const LaneOut& out) {
        simd::kernels().lanes_parkinson(rows, blocks, stride, w, out.values);
      });
}

}  // namespace sarvek
