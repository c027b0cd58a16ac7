#include "core/features/macd.h"

#include "core/catalog.h"
#include "core/features/one_bar.h"

#include <algorithm>
#include <limits>

namespace sarvek {
namespace {

constexpr const char* kOutputsConstraint = "must contain exactly 3 names: [macd, signal, hist]";

}  // namespace

Macd::Macd(Names inputs, Names outputs, std::size_t fast, std::size_t slow, std::size_t signal)
    : ConfiguredFeature(std::move(inputs), 0, std::move(outputs)),
      fast_(fast),
      slow_(slow),
      signal_(signal),
      fast_ema_(fast),
      slow_ema_(slow),
      signal_ema_(signal) {}

Result<Macd> Macd::create(Names inputs, Names outputs, std::size_t fast, std::size_t slow, std::size_t signal) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.size() != 3) return invalid_input(std::string("outputs ") + kOutputsConstraint);
  if (fast == 0) return invalid_input("fast must be >= 1");
  if (slow <= fast) return invalid_input("slow must be > fast");
  if (signal == 0) return invalid_input("signal must be >= 1");
  return Macd(std::move(inputs), std::move(outputs), fast, slow, signal);
}

std::unique_ptr<Feature> Macd::fresh() const { return rebuild<Macd>(inputs_, outputs_, fast_, slow_, signal_); }

void Macd::reset() {
  fast_ema_.reset();
  slow_ema_.reset();
  signal_ema_.reset();
}

// The signal average reads the macd line as an Ema reads a column: missing
// wherever the line is.
Macd::Bar Macd::advance(bool present, double x) {
  const Value fast = fast_ema_.advance(present, x);
  const Value slow = slow_ema_.advance(present, x);
  if (!fast || !slow) return {kMissing, signal_ema_.advance(false, 0.0), kMissing};
  const double macd = *fast - *slow;
  const Value signal = signal_ema_.advance(true, macd);
  return {macd, signal, signal ? Value(macd - *signal) : kMissing};
}

Values Macd::step(std::span<const Value> values) {
  return run_one_bar<1, 3>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
    Macd::step_columns(1, in, out);
  });
}

// The recurrences are serial: one bar after another on plain arrays.
void Macd::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const double* x = in[0].values;
  const std::uint8_t* present = in[0].valid;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  double* macd = out[0].values;
  double* signal = out[1].values;
  double* hist = out[2].values;
  for (std::size_t i = 0; i < bars; ++i) {
    // All three averages running: present stretches in registers, with
    // Ema's own blend; the rest (seeding, gaps) through advance.
    if (fast_ema_.running() && slow_ema_.running() && signal_ema_.running()) {
      const double af = fast_ema_.alpha(), as = slow_ema_.alpha(), ag = signal_ema_.alpha();
      double f = fast_ema_.current(), s = slow_ema_.current(), g = signal_ema_.current();
      for (; i < bars && present[i]; ++i) {
        f = EmaState::blend(af, f, x[i]);
        s = EmaState::blend(as, s, x[i]);
        const double m = f - s;
        g = EmaState::blend(ag, g, m);
        macd[i] = m;
        signal[i] = g;
        hist[i] = m - g;
        out[0].valid[i] = out[1].valid[i] = out[2].valid[i] = 1;
      }
      fast_ema_.set_current(f);
      slow_ema_.set_current(s);
      signal_ema_.set_current(g);
      if (i == bars) break;
    }
    const Bar b = advance(present[i] != 0, x[i]);
    out[0].valid[i] = b.macd.has_value();
    out[0].values[i] = b.macd ? *b.macd : kNaN;
    out[1].valid[i] = b.signal.has_value();
    out[1].values[i] = b.signal ? *b.signal : kNaN;
    out[2].valid[i] = b.hist.has_value();
    out[2].values[i] = b.hist ? *b.hist : kNaN;
  }
}

const FeatureDescription& Macd::description() {
  static const FeatureDescription d{
      .name = "Macd",
      .doc = "Moving Average Convergence/Divergence: macd, signal and histogram from SMA-seeded EMAs.",
      .update_doc = "Process one bar. Returns ``[macd, signal, hist]``, ``NaN`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 names_param("outputs", kOutputsConstraint, 3),
                 count_param("fast", "must be >= 1", 1, 12),
                 count_param("slow", "must be > fast", 0, 26),
                 count_param("signal", "must be >= 1", 1, 9)},
      .reads = 1,
      .produces = 3,
      .memory = nullptr,  // recursions: every bar since the start counts
      // The macd line: both averages seeded, each from its own collections
      // counted from bar 0.
      .first_valid = [](const Arguments& a, std::size_t start, std::size_t) -> std::size_t {
        return std::max(EmaState::first_valid(count_argument(a, 2), start),
                        EmaState::first_valid(count_argument(a, 3), start));
      },
      // The signal line (and hist) reads the macd line as an Ema in a chain
      // would: its seed waits for the first whole collection of `signal`
      // bars, counted from bar 0, from the macd line's first bar.
      .output_first_valid = [](const Arguments& a, std::size_t k, std::size_t first_valid) -> std::size_t {
        return k == 0 ? first_valid : EmaState::first_valid(count_argument(a, 4), first_valid);
      },
      .make = [](Arguments a) -> Result<std::unique_ptr<Feature>> {
        return owned<Macd, Feature>(Macd::create(std::get<Names>(std::move(a[0])), std::get<Names>(std::move(a[1])),
                                                 count_argument(a, 2), count_argument(a, 3), count_argument(a, 4)));
      },
      .is = is_a<Macd, Feature>,
      .arguments_of = [](const Feature& f) -> Arguments {
        const auto& m = static_cast<const Macd&>(f);
        return {m.input_names(), m.output_names(), m.fast(), m.slow(), m.signal()};
      },
  };
  return d;
}

}  // namespace sarvek
