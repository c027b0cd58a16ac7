#include "core/features/rolling_max.h"

#include <functional>

#include "core/features/order_window.h"
#include "core/lanes.h"

namespace sarvek {

// Scans the window oldest to newest (lanes::window_max): exact, and a NaN in
// the window wins. A column run gets the same bits from blocks of running
// extremes (window_extremes), O(1) per bar whatever the window.
double RollingMax::value(const double* window) { return lanes::window_max<double>(window, window_); }

void RollingMax::column(const StagedRun<1>& r, double* out) {
  room_.resize(r.span);
  window_extremes<std::greater<double>>(r.values[0], r.bars, r.span, out, room_.data());
}

const FeatureDescription& RollingMax::description() {
  static const FeatureDescription d = window_description<RollingMax>(
      "RollingMax", "Rolling largest value over a window; NaN if any value in the window is NaN.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the "
      "window.");
  return d;
}

}  // namespace sarvek
