#include "core/features/obv.h"

#include "core/catalog.h"
#include "core/features/one_bar.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace sarvek {

namespace {

// The total after a present bar: plus the volume on a rise, plus its
// negation on a fall, plus 0.0 when unchanged (the total is never -0.0, so
// that leaves it as it was; the volume is not read). Selected without
// branches, the direction being unpredictable: up - down is exactly volume,
// -volume or 0.0.
inline double next_total(double total, double previous, double close, double volume) {
  const std::uint64_t v = std::bit_cast<std::uint64_t>(volume);
  const double up = std::bit_cast<double>(v & -static_cast<std::uint64_t>(close > previous));
  const double down = std::bit_cast<double>(v & -static_cast<std::uint64_t>(close < previous));
  const double delta = up - down;
  const bool nan = (close != close) | (previous != previous);
  return nan ? std::numeric_limits<double>::quiet_NaN() : total + delta;
}

}  // namespace

Obv::Obv(Names inputs, Names outputs) : ConfiguredFeature(std::move(inputs), 0, std::move(outputs)) {}

Result<Obv> Obv::create(Names inputs, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain close and volume columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return Obv(std::move(inputs), std::move(outputs));
}

std::unique_ptr<Feature> Obv::fresh() const { return rebuild<Obv>(inputs_, outputs_); }

void Obv::reset() {
  started_ = false;
  total_ = 0.0;
  previous_ = 0.0;
}

// A bar is present when its close and volume both are; a missing bar is
// missing and changes nothing, so the next present bar compares with the
// last present close. A NaN close (or a NaN last close) makes the total NaN;
// a NaN volume does when the close moved.
Value Obv::advance(bool present, double close, double volume) {
  if (!present) return kMissing;
  if (!started_) {
    started_ = true;
    total_ = 0.0;
  } else {
    total_ = next_total(total_, previous_, close, volume);
  }
  previous_ = close;
  return total_;
}

Values Obv::step(std::span<const Value> values) {
  return run_one_bar<2, 1>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
    Obv::step_columns(1, in, out);
  });
}

// The running total is serial: one bar after another on plain arrays.
void Obv::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const double *c = in[0].values, *vol = in[1].values;
  const std::uint8_t *cv = in[0].valid, *vv = in[1].valid;
  double* v = out[0].values;
  std::uint8_t* ok = out[0].valid;
  for (std::size_t i = 0; i < bars; ++i) {
    // Present stretches once started in registers; the rest through advance.
    if (started_) {
      double total = total_, previous = previous_;
      for (; i < bars && cv[i] && vv[i]; ++i) {
        total = next_total(total, previous, c[i], vol[i]);
        previous = c[i];
        v[i] = total;
        ok[i] = 1;
      }
      total_ = total;
      previous_ = previous;
      if (i == bars) break;
    }
    const Value r = advance(cv[i] && vv[i], c[i], vol[i]);
    ok[i] = r.has_value();
    v[i] = r ? *r : std::numeric_limits<double>::quiet_NaN();
  }
  fill_missing(out.subspan(1), bars);
}

const FeatureDescription& Obv::description() {
  static const FeatureDescription d{
      .name = "Obv",
      .doc = "On-Balance Volume from close and volume, starting at 0.",
      .update_doc = "Process one bar. Returns ``[NaN]`` on ``NaN`` input.",
      .params = {names_param("inputs", "must contain close and volume columns", 2),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 2,
      .produces = 1,
      .memory = nullptr,  // a running total: every bar since the start counts
      .make = [](Arguments a) -> Result<std::unique_ptr<Feature>> {
        return owned<Obv, Feature>(Obv::create(std::get<Names>(std::move(a[0])), std::get<Names>(std::move(a[1]))));
      },
      .is = is_a<Obv, Feature>,
      .arguments_of = [](const Feature& f) -> Arguments {
        const auto& o = static_cast<const Obv&>(f);
        return {o.input_names(), o.output_names()};
      },
  };
  return d;
}

}  // namespace sarvek
