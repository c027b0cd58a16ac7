#include "core/features/rolling_correlation.h"

#include "core/catalog.h"

#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

RollingCorrelation::RollingCorrelation(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<RollingCorrelation> RollingCorrelation::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain x and y columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 2) return invalid_input("window must be >= 2");
  return RollingCorrelation(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> RollingCorrelation::fresh() const {
  return rebuild<RollingCorrelation>(inputs_, window_, outputs_);
}

// Means first, then the deviation sums, oldest to newest (lanes::correlation).
Values RollingCorrelation::step(std::span<const Value> values) {
  const bool present = values[0] && values[1];
  buffer_.push(present, {present ? *values[0] : 0.0, present ? *values[1] : 0.0});
  if (!buffer_.complete()) return {kMissing};
  const auto r = lanes::correlation<double>(buffer_.values(0), buffer_.values(1), window_);
  return {r.ok ? Value(r.value) : kMissing};
}

void RollingCorrelation::step_columns(std::size_t bars, std::span<const ColumnIn> in,
                                      std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<2>{in},
             [](const StagedRun<2>& r, std::span<const ColumnOut> o) {
               simd::kernels().correlation(r.values[0], r.values[1], r.bars, r.span, o[0].values, o[0].valid);
             });
}

const FeatureDescription& RollingCorrelation::description() {
  static const FeatureDescription d{
      .name = "RollingCorrelation",
      .doc = "Rolling Pearson correlation of two columns (x, y) over a window; NaN where either is flat.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or over a flat window.",
      .params = {names_param("inputs", "must contain x and y columns", 2),
                 count_param("window", "must be >= 2", 2),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 2,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<RollingCorrelation>,
      .is = is_a<RollingCorrelation, Feature>,
      .arguments_of = windowed_arguments<RollingCorrelation>,
  };
  return d;
}

}  // namespace sarvek
