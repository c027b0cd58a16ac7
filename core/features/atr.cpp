#include "core/features/atr.h"

#include "core/catalog.h"
#include "core/features/one_bar.h"

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

Atr::Atr(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), averages_(window) {}

Result<Atr> Atr::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 3) return invalid_input("inputs must contain high, low and close columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  // A seed collection holds window + 1 bars; that count must be representable.
  if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
  return Atr(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Atr::fresh() const { return rebuild<Atr>(inputs_, window_, outputs_); }

void Atr::reset() {
  averages_.reset();
  previous_ = 0.0;
}

// A bar is present when its high, low and close all are. The true range
// is max(max(high - low, |high - pc|), |low - pc|), NaN when any of the
// three is NaN.
Value Atr::advance(bool present, double high, double low, double close) {
  const bool valid = averages_.advance(present, [&] {
    return WilderAverages<1>::Terms{true_range(high, low, previous_)};
  });
  if (present) previous_ = close;
  if (!valid) return kMissing;
  return averages_.average(0);
}

Values Atr::step(std::span<const Value> values) {
  return run_one_bar<3, 1>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
    Atr::step_columns(1, in, out);
  });
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
  static const FeatureDescription d{
      .name = "Atr",
      .doc = "Wilder's Average True Range from high, low and close (window usually 14).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must contain high, low and close columns", 3),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 3,
      .produces = 1,
      .memory = nullptr,  // a recursion: every bar since the start counts
      // Seed collections of window + 1 bars are counted from bar 0.
      .first_valid = [](const Arguments& a, std::size_t start, std::size_t) -> std::size_t {
        return WilderAverages<1>::first_valid(count_argument(a, 1), start);
      },
      .make = make_windowed<Atr>,
      .is = is_a<Atr, Feature>,
      .arguments_of = windowed_arguments<Atr>,
  };
  return d;
}

}  // namespace sarvek
