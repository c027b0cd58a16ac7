#include "core/features/rsi.h"

#include "core/catalog.h"
#include "core/features/one_bar.h"

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

Rsi::Rsi(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), averages_(window) {}

Result<Rsi> Rsi::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  // A seed collection holds window + 1 prices; that count must be representable.
  if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
  return Rsi(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Rsi::fresh() const { return rebuild<Rsi>(inputs_, window_, outputs_); }

void Rsi::reset() {
  averages_.reset();
  previous_ = 0.0;
}

Value Rsi::advance(bool present, double x) {
  const bool valid = averages_.advance(present, [&] {
    const double d = x - previous_;
    return WilderAverages<2>::Terms{gain_of(d), loss_of(d)};
  });
  if (present) previous_ = x;
  if (!valid) return kMissing;
  return rsi_of(averages_.average(0), averages_.average(1));
}

Values Rsi::step(std::span<const Value> values) {
  return run_one_bar<1, 1>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
    Rsi::step_columns(1, in, out);
  });
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
  static const FeatureDescription d{
      .name = "Rsi",
      .doc = "Wilder's Relative Strength Index (window usually 14).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = nullptr,  // a recursion: every bar since the start counts
      // Seed collections of window + 1 prices are counted from bar 0.
      .first_valid = [](const Arguments& a, std::size_t start, std::size_t) -> std::size_t {
        return WilderAverages<2>::first_valid(count_argument(a, 1), start);
      },
      .make = make_windowed<Rsi>,
      .is = is_a<Rsi, Feature>,
      .arguments_of = windowed_arguments<Rsi>,
  };
  return d;
}

}  // namespace sarvek
