#include "core/features/mfi.h"

#include "core/catalog.h"

#include <limits>

#include "core/features/typical_price.h"
#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

// A bar's entry: its typical price and volume, present when all four
// values are.
struct Entry {
  bool present;
  double tp;
  double volume;
};

Entry entry_of(const Value& high, const Value& low, const Value& close, const Value& volume) {
  const Value tp = typical_price(high, low, close);
  if (!tp || !volume) return {false, 0.0, 0.0};
  return {true, *tp, *volume};
}

// Column staging of the same entries update() pushes.
struct FlowEntries {
  std::span<const ColumnIn> in;
  void operator()(std::size_t bars, double* const* dst, std::uint8_t* present) const {
    double* tp = dst[0];  // held locally: the flag stores may alias anything
    double* volume = dst[1];
    for (std::size_t i = 0; i < bars; ++i) {
      const Entry e = entry_of(value_at(in, 0, i), value_at(in, 1, i), value_at(in, 2, i), value_at(in, 3, i));
      tp[i] = e.tp;
      volume[i] = e.volume;
      present[i] = e.present;
    }
  }
};

}  // namespace

Mfi::Mfi(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), bars_(window + 1) {}

Result<Mfi> Mfi::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 4) return invalid_input("inputs must contain high, low, close and volume columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
  return Mfi(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Mfi::fresh() const { return rebuild<Mfi>(inputs_, window_, outputs_); }

// The window's window + 1 entries give `window` flows (lanes::mfi).
Values Mfi::step(std::span<const Value> values) {
  const Entry e = entry_of(values[0], values[1], values[2], values[3]);
  bars_.push(e.present, {e.tp, e.volume});
  if (!bars_.complete()) return {kMissing};
  return {lanes::mfi<double>(bars_.values(0), bars_.values(1), window_)};
}

void Mfi::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(bars_, bars, out, 1, Marks::complete_windows, FlowEntries{in},
             [this](const StagedRun<2>& r, std::span<const ColumnOut> o) {
               simd::kernels().mfi(r.values[0], r.values[1], r.bars, window_, o[0].values);
             });
}

const FeatureDescription& Mfi::description() {
  static const FeatureDescription d{
      .name = "Mfi",
      .doc = "Money Flow Index over the last window money flows (high, low, close, volume; usually window 14).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or while a ``NaN`` input is among the last "
                    "window + 1 bars.",
      .params = {names_param("inputs", "must contain high, low, close and volume columns", 4),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 4,
      .produces = 1,
      .memory = memory_window,
      .make = make_windowed<Mfi>,
      .is = is_a<Mfi, Feature>,
      .arguments_of = windowed_arguments<Mfi>,
  };
  return d;
}

}  // namespace sarvek
