#include "core/features/rogers_satchell_volatility.h"

#include "core/catalog.h"

#include <cmath>

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

BarTerm rogers_satchell_term(const Value& high, const Value& low, const Value& open, const Value& close) {
  if (!high || !low || !open || !close) return kNoTerm;
  return rogers_satchell_term(*high, *low, *open, *close);
}

}  // namespace

RogersSatchellVolatility::RogersSatchellVolatility(Names inputs, std::size_t window, Names outputs)
    : RangeVolatilityFeature(std::move(inputs), window, std::move(outputs)) {}

Result<RogersSatchellVolatility> RogersSatchellVolatility::create(Names inputs, std::size_t window,
                                                                  Names outputs) {
  if (inputs.size() < 4) return invalid_input("inputs must contain high, low, open, and close columns");
  if (window == 0) return invalid_input("window must be non-zero");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return RogersSatchellVolatility(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> RogersSatchellVolatility::fresh() const {
  return rebuild<RogersSatchellVolatility>(inputs_, window_, outputs_);
}

// Not positive (a window of flat bars included) or NaN: no volatility.
Values RogersSatchellVolatility::step(std::span<const Value> values) {
  if (!push_term(rogers_satchell_term(values[0], values[1], values[2], values[3]))) return {kMissing};
  const auto r = lanes::rogers_satchell<double>(window_terms(), window_);
  if (!r.ok) return {kMissing};
  return {r.value};
}

void RogersSatchellVolatility::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                            std::span<const ColumnOut> out) {
  run_terms(
      bars, out,
      [&](std::size_t i) {
        if (!inputs_present(in, 4, i)) return kNoTerm;
        return rogers_satchell_term(in[0].values[i], in[1].values[i], in[2].values[i], in[3].values[i]);
      },
      [&](const double* t, std::size_t n, const ColumnOut& o) {
        simd::kernels().rogers_satchell(t, n, window_, o.values, o.valid);
      });
}

const FeatureDescription& RogersSatchellVolatility::description() {
  static const FeatureDescription d{
      .name = "RogersSatchellVolatility",
      .visibility = Visibility::module,
      .doc = "Rolling Rogers-Satchell volatility estimator (OHLC).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input.",
      .params = {names_param("inputs", "must contain high, low, open, and close columns", 4),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 4,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<RogersSatchellVolatility>,
      .is = is_a<RogersSatchellVolatility, Feature>,
      .arguments_of = windowed_arguments<RogersSatchellVolatility>,
  };
  return d;
}

}  // namespace sarvek
