#include "core/features/rolling_min.h"

#include "core/catalog.h"

#include <functional>

#include "core/features/order_window.h"
#include "core/features/window_run.h"
#include "core/lanes.h"

namespace sarvek {

RollingMin::RollingMin(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<RollingMin> RollingMin::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return RollingMin(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> RollingMin::fresh() const { return rebuild<RollingMin>(inputs_, window_, outputs_); }

// Scans the window oldest to newest (lanes::window_min): exact, and a NaN in
// the window wins. A column run gets the same bits from blocks of running
// extremes (window_extremes), O(1) per bar whatever the window.
Values RollingMin::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) return {kMissing};
  return {lanes::window_min<double>(buffer_.values(), window_)};
}

void RollingMin::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               room_.resize(r.span);
               window_extremes<std::less<double>>(r.values[0], r.bars, r.span, o[0].values, room_.data());
             });
}

const FeatureDescription& RollingMin::description() {
  static const FeatureDescription d{
      .name = "RollingMin",
      .doc = "Rolling smallest value over a window; NaN if any value in the window is NaN.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or while a ``NaN`` is in the "
                    "window.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<RollingMin>,
      .is = is_a<RollingMin, Feature>,
      .arguments_of = windowed_arguments<RollingMin>,
  };
  return d;
}

}  // namespace sarvek
