#include "core/features/yang_zhang_volatility.h"

#include "core/catalog.h"

#include <cmath>

#include "core/features/range_window.h"
#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

// A bar's three terms from its prices and the previous close: valid when
// the bar's prices are (range_window.h) and the previous close is present
// and positive; log(O / previous C), log(C / O), and the Rogers-Satchell
// term as RogersSatchellVolatility computes it.
Terms<3> yang_zhang_terms(double h, double l, double o, double c, bool has_prev, double prev) {
  if (!(has_prev && prev > 0.0 && range_prices_valid(h, l, o, c))) return {{0.0, 0.0, 0.0}, false};
  return {{std::log(o / prev), std::log(c / o), rogers_satchell_value(h, l, o, c)}, true};
}

}  // namespace

YangZhangVolatility::YangZhangVolatility(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)),
      terms_(window),
      k_(lanes::yang_zhang_k(window)),
      one_minus_k_(1.0 - k_) {}

Result<YangZhangVolatility> YangZhangVolatility::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 4) return invalid_input("inputs must contain high, low, open, and close columns");
  if (window < 2) return invalid_input("window must be >= 2");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return YangZhangVolatility(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> YangZhangVolatility::fresh() const {
  return rebuild<YangZhangVolatility>(inputs_, window_, outputs_);
}

void YangZhangVolatility::reset() {
  terms_.clear();
  prev_close_ = 0.0;
  has_prev_close_ = false;
}

// A negative variance: no volatility. A NaN one (from infinite prices) goes
// on as NaN.
Values YangZhangVolatility::step(std::span<const Value> values) {
  const bool present = values[0] && values[1] && values[2] && values[3];
  const Terms<3> t = present ? yang_zhang_terms(*values[0], *values[1], *values[2], *values[3], has_prev_close_,
                                                prev_close_)
                             : Terms<3>{{0.0, 0.0, 0.0}, false};
  has_prev_close_ = values[3].has_value();
  prev_close_ = values[3].value_or(0.0);
  terms_.push(t.ok, {t.value[0], t.value[1], t.value[2]});
  if (!terms_.complete()) return {kMissing};
  const auto r =
      lanes::yang_zhang<double>(terms_.values(0), terms_.values(1), terms_.values(2), window_, k_, one_minus_k_);
  if (r.negative) return {kMissing};
  return {r.value};
}

void YangZhangVolatility::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                       std::span<const ColumnOut> out) {
  const ColumnIn& close = in[3];
  const bool had_prev = has_prev_close_;
  const double prev = prev_close_;
  auto term = [&](std::size_t i) {
    if (!inputs_present(in, 4, i)) return Terms<3>{{0.0, 0.0, 0.0}, false};
    const bool has_p = i == 0 ? had_prev : close.valid[i - 1] != 0;
    const double p = i == 0 ? prev : close.values[i - 1];
    return yang_zhang_terms(in[0].values[i], in[1].values[i], in[2].values[i], close.values[i], has_p, p);
  };
  run_window(terms_, bars, out, 1, Marks::complete_windows, terms_entries<3>(term),
             [this](const StagedRun<3>& r, std::span<const ColumnOut> o) {
               simd::kernels().yang_zhang(r.values[0], r.values[1], r.values[2], r.bars, r.span, k_, one_minus_k_,
                                          o[0].values, o[0].valid);
             });
  if (bars > 0) {
    has_prev_close_ = close.valid[bars - 1] != 0;
    prev_close_ = has_prev_close_ ? close.values[bars - 1] : 0.0;
  }
}

const FeatureDescription& YangZhangVolatility::description() {
  static const FeatureDescription d{
      .name = "YangZhangVolatility",
      .doc = "Rolling Yang-Zhang volatility estimator (OHLC, with overnight returns); window is usually 20.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on invalid prices or a negative variance.",
      .params = {names_param("inputs", "must contain high, low, open, and close columns", 4),
                 count_param("window", "must be >= 2", 2),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 4,
      .produces = 1,
      .memory = memory_window,
      .make = make_windowed<YangZhangVolatility>,
      .is = is_a<YangZhangVolatility, Feature>,
      .arguments_of = windowed_arguments<YangZhangVolatility>,
  };
  return d;
}

}  // namespace sarvek
