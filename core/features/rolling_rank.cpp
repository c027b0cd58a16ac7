#include "core/features/rolling_rank.h"

#include <limits>

#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// Counts the window's values below and equal to the newest one (0.0 and
// -0.0 are equal), oldest to newest.
double RollingRank::value(const double* window) {
  const double x = window[window_ - 1];
  std::size_t below = 0;
  std::size_t equal = 0;
  for (std::size_t k = 0; k < window_; ++k) {
    if (window[k] != window[k]) return kNaN;
    below += window[k] < x;
    equal += window[k] == x;
  }
  return lanes::rank_pct(below, equal, window_);
}

// The same counts from the sorted window, kept bar to bar.
void RollingRank::column(const StagedRun<1>& r, double* out) {
  const double* p = r.values[0];
  const std::size_t n = r.span;
  sorted_windows(sorted_, p, r.bars, n, out, [p, n](const SortedWindow& s, std::size_t i) {
    const double x = p[i + n - 1];
    const std::size_t below = s.below(x);
    return lanes::rank_pct(below, s.not_above(x) - below, n);
  });
}

const FeatureDescription& RollingRank::description() {
  static const FeatureDescription d = window_description<RollingRank>(
      "RollingRank",
      "Rolling percentile rank of the newest value within a window (usually 20), ties averaged, as pandas' "
      "rank(pct=True); NaN if any value in the window is NaN.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the window.");
  return d;
}

}  // namespace sarvek
