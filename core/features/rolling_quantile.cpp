#include "core/features/rolling_quantile.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr const char* kQConstraint = "must be in [0, 1]";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Order of the keys: NaN never reaches it (a window with one gives NaN first).
bool key_less(double a, double b) { return order_key(a) < order_key(b); }

}  // namespace

RollingQuantile::RollingQuantile(Names inputs, std::size_t window, Names outputs, double q)
    : WindowFeature(std::move(inputs), window, std::move(outputs)), q_(q) {
  // h = (n - 1) q, computed once for both paths; h <= n - 1 as q <= 1.
  const double h = static_cast<double>(window - 1) * q;
  const double low = std::floor(h);
  low_ = std::min(static_cast<std::size_t>(low), window - 1);
  g_ = low_ + 1 < window ? h - low : 0.0;
}

Result<RollingQuantile> RollingQuantile::create(Names inputs, std::size_t window, Names outputs, double q) {
  if (auto ok = check_arguments(inputs, window, outputs); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_real("q", q, 0.0, 1.0, kQConstraint); !ok) return std::unexpected(std::move(ok.error()));
  return RollingQuantile(std::move(inputs), window, std::move(outputs), q);
}

// Selects the two order statistics from a copy of the window (each is one
// value of it, whatever the method), then interpolates.
double RollingQuantile::value(const double* window) {
  if (std::any_of(window, window + window_, [](double x) { return x != x; })) return kNaN;
  scratch_.assign(window, window + window_);
  const auto low = scratch_.begin() + static_cast<std::ptrdiff_t>(low_);
  std::nth_element(scratch_.begin(), low, scratch_.end(), key_less);
  const double a = *low;
  const double b = g_ == 0.0 ? a : *std::min_element(low + 1, scratch_.end(), key_less);
  return lanes::quantile_between(a, b, g_);
}

// The same order statistics from the sorted window, kept bar to bar.
// Windows holding missing entries are sorted as they stand; their bars are
// marked missing already.
void RollingQuantile::column(const StagedRun<1>& r, double* out) {
  sorted_windows(sorted_, r.values[0], r.bars, r.span, out, [this](const SortedWindow& s, std::size_t) {
    const double a = s.at(low_);
    return lanes::quantile_between(a, g_ == 0.0 ? a : s.at(low_ + 1), g_);
  });
}

namespace {

Result<std::unique_ptr<Feature>> make_quantile(Arguments a) {
  return owned<RollingQuantile, Feature>(RollingQuantile::create(std::get<Names>(std::move(a[0])),
                                                                 count_argument(a, 1),
                                                                 std::get<Names>(std::move(a[2])),
                                                                 real_argument(a, 3)));
}

std::vector<ParamDescription> quantile_params() {
  auto params = window_params();
  params.push_back(real_param("q", kQConstraint, 0.0, 1.0, 0.5));
  return params;
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
      .params = quantile_params(),
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
