#include "core/features/rolling_rank.h"

#include <limits>

#include "core/catalog.h"
#include "core/features/window_run.h"
#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

RollingRank::RollingRank(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<RollingRank> RollingRank::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return RollingRank(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> RollingRank::fresh() const { return rebuild<RollingRank>(inputs_, window_, outputs_); }

// Counts the window's values below and equal to the newest one (0.0 and
// -0.0 are equal), oldest to newest.
Values RollingRank::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) return {kMissing};
  const double* p = buffer_.values();
  const double x = p[window_ - 1];
  std::size_t below = 0;
  std::size_t equal = 0;
  for (std::size_t k = 0; k < window_; ++k) {
    if (p[k] != p[k]) return {kNaN};
    below += p[k] < x;
    equal += p[k] == x;
  }
  return {lanes::rank_pct(below, equal, window_)};
}

void RollingRank::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
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
                   const double x = p[i + n - 1];
                   const std::size_t below = sorted_.below(x);
                   o[0].values[i] = lanes::rank_pct(below, sorted_.not_above(x) - below, n);
                 }
               }
             });
}

const FeatureDescription& RollingRank::description() {
  static const FeatureDescription d{
      .name = "RollingRank",
      .doc = "Rolling percentile rank of the newest value within a window (usually 20), ties averaged, as pandas' "
             "rank(pct=True); NaN if any value in the window is NaN.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the "
                    "window.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<RollingRank>,
      .is = is_a<RollingRank, Feature>,
      .arguments_of = windowed_arguments<RollingRank>,
  };
  return d;
}

}  // namespace sarvek
