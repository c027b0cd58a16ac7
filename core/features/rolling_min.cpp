#include "core/features/rolling_min.h"

#include <functional>

#include "core/features/order_window.h"
#include "core/lanes.h"

namespace sarvek {

// Scans the window oldest to newest (lanes::window_min): exact, and a NaN in
// the window wins. A column run gets the same bits from blocks of running
// extremes (window_extremes), O(1) per bar whatever the window.
double RollingMin::value(const double* window) { return lanes::window_min<double>(window, window_); }

void RollingMin::column(const StagedRun<1>& r, double* out) {
  room_.resize(r.span);
  window_extremes<std::less<double>>(r.values[0], r.bars, r.span, out, room_.data());
}

const FeatureDescription& RollingMin::description() {
  static const FeatureDescription d = window_description<RollingMin>(
      "RollingMin", "Rolling smallest value over a window; NaN if any value in the window is NaN.",
      "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the "
      "window.");
  return d;
}

}  // namespace sarvek
