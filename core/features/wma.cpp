#include "core/features/wma.h"

#include "core/catalog.h"

#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Wma::Wma(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<Wma> Wma::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Wma(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Wma::fresh() const { return rebuild<Wma>(inputs_, window_, outputs_); }

// The weighted terms summed oldest to newest from 0.0, divided once by the
// weight total n * (n + 1) / 2 (lanes::wma).
Values Wma::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) return {kMissing};
  return {lanes::wma<double>(buffer_.values(), window_, lanes::weight_total(window_))};
}

void Wma::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().wma(r.values[0], r.bars, r.span, lanes::weight_total(window_), o[0].values);
             });
}

const FeatureDescription& Wma::description() {
  static const FeatureDescription d{
      .name = "Wma",
      .doc = "Linearly Weighted Moving Average over a rolling window (weight 1 for the oldest value, window for the "
             "newest).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<Wma>,
      .is = is_a<Wma, Feature>,
      .arguments_of = windowed_arguments<Wma>,
  };
  return d;
}

}  // namespace sarvek
