#include "core/features/rolling_quantile.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/catalog.h"
#include "core/features/window_run.h"
#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr const char* kQConstraint = "must be in [0, 1]";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Order of the keys: NaN never reaches it (a window with one gives NaN first).
bool key_less(double a, double b) { return order_key(a) < order_key(b); }

}  // namespace

RollingQuantile::RollingQuantile(Names inputs, std::size_t window, Names outputs, double q)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), q_(q), buffer_(window) {
  // h = (n - 1) q, computed once for both paths; h <= n - 1 as q <= 1.
  const double h = static_cast<double>(window - 1) * q;
  const double low = std::floor(h);
  low_ = std::min(static_cast<std::size_t>(low), window - 1);
  g_ = low_ + 1 < window ? h - low : 0.0;
}

Result<RollingQuantile> RollingQuantile::create(Names inputs, std::size_t window, Names outputs, double q) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  if (auto ok = check_real("q", q, 0.0, 1.0, kQConstraint); !ok) return std::unexpected(std::move(ok.error()));
  return RollingQuantile(std::move(inputs), window, std::move(outputs), q);
}

std::unique_ptr<Feature> RollingQuantile::fresh() const {
  return rebuild<RollingQuantile>(inputs_, window_, outputs_, q_);
}

// Selects the two order statistics from a copy of the window (each is one
// value of it, whatever the method), then interpolates.
Values RollingQuantile::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) return {kMissing};
  const double* p = buffer_.values();
  if (std::any_of(p, p + window_, [](double x) { return x != x; })) return {kNaN};
  scratch_.assign(p, p + window_);
  const auto low = scratch_.begin() + static_cast<std::ptrdiff_t>(low_);
  std::nth_element(scratch_.begin(), low, scratch_.end(), key_less);
  const double a = *low;
  const double b = g_ == 0.0 ? a : *std::min_element(low + 1, scratch_.end(), key_less);
  return {lanes::quantile_between(a, b, g_)};
}

void RollingQuantile::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               // Every window is sorted as it stands, missing entries
               // included; their bars are marked missing already.
               const double* p = r.values[0];
               const std::size_t n = r.span;
               for (std::size_t i = 0; i < r.bars; ++i) {
                 if (i == 0)
                   sorted_.assign(p, n);
                 else
                   sorted_.replace(p[i - 1], p[i + n - 1]);
                 if (sorted_.has_nan()) {
                   o[0].values[i] = kNaN;
                 } else {
                   const double a = sorted_.at(low_);
                   o[0].values[i] = lanes::quantile_between(a, g_ == 0.0 ? a : sorted_.at(low_ + 1), g_);
                 }
               }
             });
}

namespace {

Result<std::unique_ptr<Feature>> make_quantile(Arguments a) {
  return owned<RollingQuantile, Feature>(RollingQuantile::create(std::get<Names>(std::move(a[0])),
                                                                 count_argument(a, 1),
                                                                 std::get<Names>(std::move(a[2])),
                                                                 real_argument(a, 3)));
}

Arguments quantile_arguments(const Feature& f) {
  const auto& r = static_cast<const RollingQuantile&>(f);
  return {r.input_names(), r.window(), r.output_names(), r.q()};
}

}  // namespace

const FeatureDescription& RollingQuantile::description() {
  static const FeatureDescription d{
      .name = "RollingQuantile",
      .doc = "Rolling q-quantile over a window (usually 20), interpolated linearly between order statistics as "
             "NumPy's default quantile; NaN if any value in the window is NaN.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the "
                    "window.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1),
                 real_param("q", kQConstraint, 0.0, 1.0, 0.5)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_quantile,
      .is = is_a<RollingQuantile, Feature>,
      .arguments_of = quantile_arguments,
  };
  return d;
}

}  // namespace sarvek
