#include "core/features/rsi.h"

#include <limits>

namespace sarvek {
namespace {

// gain 0 and loss 0 (a flat stretch) is 50; loss 0 alone is 100. A NaN
// average (from infinite prices) gives NaN.
inline double rsi_of(double gain, double loss) {
  if (loss == 0.0) return gain > 0.0 ? 100.0 : gain == 0.0 ? 50.0 : gain;
  return 100.0 - 100.0 / (1.0 + gain / loss);
}

// The change d = x - previous splits into gain (d, or 0.0 when d < 0) and
// loss (0.0 - d, or 0.0 when d > 0); a NaN change is NaN in both.
inline double gain_of(double d) { return d < 0.0 ? 0.0 : d; }
inline double loss_of(double d) { return d > 0.0 ? 0.0 : 0.0 - d; }

}  // namespace

Value Rsi::advance(bool present, double x) {
  const bool valid = averages_.advance(present, [&] {
    const double d = x - previous_;
    return WilderAverages<2>::Terms{gain_of(d), loss_of(d)};
  });
  if (present) previous_ = x;
  if (!valid) return kMissing;
  return rsi_of(averages_.average(0), averages_.average(1));
}

// The recurrence is serial: one bar after another on plain arrays.
void Rsi::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const double* x = in[0].values;
  const std::uint8_t* present = in[0].valid;
  double* v = out[0].values;
  std::uint8_t* ok = out[0].valid;
  for (std::size_t i = 0; i < bars; ++i) {
    // Running stretches in registers; the rest (seeding, gaps) through advance.
    if (averages_.running()) {
      double gain = averages_.average(0), loss = averages_.average(1), previous = previous_;
      for (; i < bars && present[i]; ++i) {
        const double d = x[i] - previous;
        gain = averages_.smooth(gain, gain_of(d));
        loss = averages_.smooth(loss, loss_of(d));
        previous = x[i];
        v[i] = rsi_of(gain, loss);
        ok[i] = 1;
      }
      averages_.set_average(0, gain);
      averages_.set_average(1, loss);
      previous_ = previous;
      if (i == bars) break;
    }
    const Value r = advance(present[i] != 0, x[i]);
    ok[i] = r.has_value();
    v[i] = r ? *r : std::numeric_limits<double>::quiet_NaN();
  }
  fill_missing(out.subspan(1), bars);
}

const FeatureDescription& Rsi::description() {
  static const FeatureDescription d = wilder_description<Rsi, 1, 2>(
      "Rsi", "Wilder's Relative Strength Index (window usually 14).",
      "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.");
  return d;
}

}  // namespace sarvek
