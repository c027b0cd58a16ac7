#include "core/features/sma.h"

#include "core/catalog.h"

#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Sma::Sma(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<Sma> Sma::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Sma(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Sma::fresh() const { return rebuild<Sma>(inputs_, window_, outputs_); }

// Oldest to newest from 0.0 (lanes::window_mean): the order is fixed so
// results are reproducible bit for bit.
Values Sma::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) return {kMissing};
  return {lanes::window_mean<double>(buffer_.values(), window_)};
}

void Sma::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().window_mean(r.values[0], r.bars, r.span, o[0].values);
             });
}

const FeatureDescription& Sma::description() {
  static const FeatureDescription d{
      .name = "Sma",
      .visibility = Visibility::module,
      .doc = "Simple Moving Average over a rolling window.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<Sma>,
      .is = is_a<Sma, Feature>,
      .arguments_of = windowed_arguments<Sma>,
  };
  return d;
}

}  // namespace sarvek
