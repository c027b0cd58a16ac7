#include "core/features/garman_klass_volatility.h"

#include <cmath>

#include "core/features/window_feature.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

// 2 ln 2 - 1, formed as 2.0 * 0.6931471805599453 - 1.0 (the double nearest
// ln 2; both steps are exact).
constexpr double kTwoLn2MinusOne = 2.0 * 0.6931471805599453 - 1.0;

// The bar's term for positive prices with H >= L (range_window.h), none
// otherwise: r = log(H / L), q = log(C / O), then
// 0.5 * (r * r) - kTwoLn2MinusOne * (q * q).
BarTerm garman_klass_term(double h, double l, double o, double c) {
  if (!range_prices_valid(h, l, o, c)) return kNoTerm;
  const double r = std::log(h / l);
  const double q = std::log(c / o);
  return {0.5 * (r * r) - kTwoLn2MinusOne * (q * q), true};
}

}  // namespace

Result<void> GarmanKlassVolatility::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 4) return invalid_input("inputs must contain high, low, open, and close columns");
  if (window == 0) return invalid_input("window must be non-zero");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return {};
}

// A negative mean: no volatility. A window of flat bars gives 0.
Values GarmanKlassVolatility::step(std::span<const Value> values) {
  if (!push_term(ohlc_term(values, garman_klass_term))) return {kMissing};
  const auto r = lanes::garman_klass<double>(window_terms(), window_);
  if (r.negative) return {kMissing};
  return {r.value};
}

void GarmanKlassVolatility::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                         std::span<const ColumnOut> out) {
  run_ohlc_terms(bars, in, out, garman_klass_term, [&](const double* t, std::size_t n, const ColumnOut& o) {
    simd::kernels().garman_klass(t, n, window_, o.values, o.valid);
  });
}

const FeatureDescription& GarmanKlassVolatility::description() {
  static const FeatureDescription d = window_description<GarmanKlassVolatility>(
      "GarmanKlassVolatility", "Rolling Garman-Klass volatility estimator (OHLC); window is usually 20.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on invalid prices or a negative mean.",
      window_params("must contain high, low, open, and close columns", 4), 4, 1);
  return d;
}

}  // namespace sarvek
