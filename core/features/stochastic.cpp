#include "core/features/stochastic.h"

#include "core/catalog.h"

#include <limits>

#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

constexpr const char* kOutputsConstraint = "must contain exactly 2 names: [k, d]";

}  // namespace

Stochastic::Stochastic(Names inputs, std::size_t window, Names outputs, std::size_t smooth)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), bars_(window), ks_(smooth), smooth_(smooth) {}

Result<Stochastic> Stochastic::create(Names inputs, std::size_t window, Names outputs, std::size_t smooth) {
  if (inputs.size() < 3) return invalid_input("inputs must contain high, low and close columns");
  if (outputs.size() != 2) return invalid_input(std::string("outputs ") + kOutputsConstraint);
  if (window == 0) return invalid_input("window must be non-zero");
  if (smooth == 0) return invalid_input("smooth must be non-zero");
  if (smooth > std::numeric_limits<std::size_t>::max() - window) return invalid_input("window is too large");
  return Stochastic(std::move(inputs), window, std::move(outputs), smooth);
}

std::unique_ptr<Feature> Stochastic::fresh() const {
  return rebuild<Stochastic>(inputs_, window_, outputs_, smooth_);
}

// %K from the bars' window (lanes::stochastic_k), then %D as the plain mean
// of the %K window (lanes::window_mean).
Values Stochastic::step(std::span<const Value> values) {
  const bool present = values[0] && values[1] && values[2];
  bars_.push(present, {present ? *values[0] : 0.0, present ? *values[1] : 0.0, present ? *values[2] : 0.0});
  Value k = kMissing;
  if (bars_.complete()) {
    const auto r = lanes::stochastic_k<double>(bars_.values(0), bars_.values(1), bars_.values(2), window_);
    if (r.ok) k = r.value;
  }
  push_value(ks_, k);
  if (!ks_.complete()) return {k, kMissing};
  return {k, lanes::window_mean<double>(ks_.values(), smooth_)};
}

// Two windows in turn: the bars' gives %K for every bar of the run, whose
// column then feeds the %K window, as update() pushes it bar by bar.
void Stochastic::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(bars_, bars, out, 2, Marks::complete_windows, InputEntries<3>{in},
             [this](const StagedRun<3>& r, std::span<const ColumnOut> o) {
               const ColumnOut k = o[0];
               simd::kernels().stochastic_k(r.values[0], r.values[1], r.values[2], r.bars, r.span, k.values, k.valid);
               const auto term = [k](std::size_t i) { return k.valid[i] ? Value(k.values[i]) : kMissing; };
               run_window(ks_, r.bars, o.subspan(1, 1), 1, Marks::complete_windows, TermEntries{term},
                          [](const StagedRun<1>& s, std::span<const ColumnOut> d) {
                            simd::kernels().window_mean(s.values[0], s.bars, s.span, d[0].values);
                          });
             });
}

namespace {

Result<std::unique_ptr<Feature>> make_stochastic(Arguments a) {
  return owned<Stochastic, Feature>(Stochastic::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                                       std::get<Names>(std::move(a[2])), count_argument(a, 3)));
}

Arguments stochastic_arguments(const Feature& f) {
  const auto& s = static_cast<const Stochastic&>(f);
  return {s.input_names(), s.window(), s.output_names(), s.smooth()};
}

// %D reads `smooth` %K values, each reading `window` bars.
std::size_t stochastic_memory(const Arguments& a) { return count_argument(a, 1) + count_argument(a, 3) - 2; }

// %D is first valid smooth - 1 bars after %K.
// %D needs `smooth` values of %K: it starts smooth - 1 bars after %K.
std::size_t stochastic_first_valid(const Arguments& a, std::size_t index, std::size_t first_valid) {
  return index == 1 ? first_valid + (count_argument(a, 3) - 1) : first_valid;
}

}  // namespace

const FeatureDescription& Stochastic::description() {
  static const FeatureDescription d{
      .name = "Stochastic",
      .doc = "Fast stochastic oscillator (high, low, close; usually window 14): %K, the close's place in the "
             "window's high-low range (0 to 100), and %D, the mean of the last smooth %K.",
      .update_doc = "Process one bar. Returns ``[k, d]``, ``NaN`` during warm-up, on ``NaN`` input or where the "
                    "window's range is 0.",
      .params = {names_param("inputs", "must contain high, low and close columns", 3),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", kOutputsConstraint, 2),
                 count_param("smooth", "must be non-zero", 1, 3)},
      .reads = 3,
      .produces = 2,
      .memory = stochastic_memory,
      .output_first_valid = stochastic_first_valid,
      .make = make_stochastic,
      .is = is_a<Stochastic, Feature>,
      .arguments_of = stochastic_arguments,
  };
  return d;
}

}  // namespace sarvek
