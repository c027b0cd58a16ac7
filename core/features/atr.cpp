#include "core/features/atr.h"

#include <cmath>
#include <limits>

namespace sarvek {
namespace {

// max(max(high - low, |high - pc|), |low - pc|), NaN when any of the three
// is NaN (written without branches: the comparisons are unpredictable).
inline double true_range(double high, double low, double previous_close) {
  const double range = high - low;
  const double up = std::fabs(high - previous_close);
  const double down = std::fabs(low - previous_close);
  double m = range < up ? up : range;
  m = m < down ? down : m;
  const bool nan = (range != range) | (up != up) | (down != down);
  return nan ? std::numeric_limits<double>::quiet_NaN() : m;
}

}  // namespace

Value Atr::advance(bool present, double high, double low, double close) {
  const bool valid = averages_.advance(present, [&] {
    return WilderAverages<1>::Terms{true_range(high, low, previous_)};
  });
  if (present) previous_ = close;
  if (!valid) return kMissing;
  return averages_.average(0);
}

// The recurrence is serial: one bar after another on plain arrays.
void Atr::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const double *h = in[0].values, *l = in[1].values, *c = in[2].values;
  const std::uint8_t *hv = in[0].valid, *lv = in[1].valid, *cv = in[2].valid;
  double* v = out[0].values;
  std::uint8_t* ok = out[0].valid;
  for (std::size_t i = 0; i < bars; ++i) {
    // Running stretches in registers; the rest (seeding, gaps) through advance.
    if (averages_.running()) {
      double atr = averages_.average(0), previous = previous_;
      for (; i < bars && hv[i] && lv[i] && cv[i]; ++i) {
        atr = averages_.smooth(atr, true_range(h[i], l[i], previous));
        previous = c[i];
        v[i] = atr;
        ok[i] = 1;
      }
      averages_.set_average(0, atr);
      previous_ = previous;
      if (i == bars) break;
    }
    const Value r = advance(hv[i] && lv[i] && cv[i], h[i], l[i], c[i]);
    ok[i] = r.has_value();
    v[i] = r ? *r : std::numeric_limits<double>::quiet_NaN();
  }
  fill_missing(out.subspan(1), bars);
}

const FeatureDescription& Atr::description() {
  static const FeatureDescription d = wilder_description<Atr, 3, 1>(
      "Atr", "Wilder's Average True Range from high, low and close (window usually 14).",
      "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.");
  return d;
}

}  // namespace sarvek
