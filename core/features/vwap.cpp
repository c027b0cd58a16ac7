#include "core/features/vwap.h"

#include "core/catalog.h"

#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Vwap::Vwap(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<Vwap> Vwap::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain price and volume columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Vwap(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Vwap::fresh() const { return rebuild<Vwap>(inputs_, window_, outputs_); }

// Both sums oldest to newest from 0.0, divided once (lanes::vwap).
Values Vwap::step(std::span<const Value> values) {
  const bool present = values[0] && values[1];
  buffer_.push(present, {present ? *values[0] : 0.0, present ? *values[1] : 0.0});
  if (!buffer_.complete()) return {kMissing};
  const auto r = lanes::vwap<double>(buffer_.values(0), buffer_.values(1), window_);
  return {r.ok ? Value(r.value) : kMissing};
}

void Vwap::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<2>{in},
             [](const StagedRun<2>& r, std::span<const ColumnOut> o) {
               simd::kernels().vwap(r.values[0], r.values[1], r.bars, r.span, o[0].values, o[0].valid);
             });
}

const FeatureDescription& Vwap::description() {
  static const FeatureDescription d{
      .name = "Vwap",
      .doc = "Volume-weighted average price over a rolling window (price, volume); NaN where the volume sums to 0.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or where the window's volume "
                    "is 0.",
      .params = {names_param("inputs", "must contain price and volume columns", 2),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 2,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<Vwap>,
      .is = is_a<Vwap, Feature>,
      .arguments_of = windowed_arguments<Vwap>,
  };
  return d;
}

}  // namespace sarvek
