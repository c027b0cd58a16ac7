#include "core/features/rolling_std.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Result<RollingStd> RollingStd::create(Names inputs, std::size_t window, Names outputs, std::size_t ddof) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (auto ok = check_window(window, ddof); !ok) return std::unexpected(std::move(ok.error()));
  return RollingStd(std::move(inputs), window, std::move(outputs), ddof);
}

std::unique_ptr<Feature> RollingStd::fresh() const {
  return rebuild<RollingStd>(inputs_, window_, outputs_, ddof_);
}

Values RollingStd::step(std::span<const Value> values) {
  if (!push(values[0])) return {kMissing};
  return {lanes::spread<double>(buffer_.values(), window_, divisor_).sd};
}

void RollingStd::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [&](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().window_sd(r.values[0], r.bars, r.span, divisor_, o[0].values);
             });
}

const FeatureDescription& RollingStd::description() {
  static const FeatureDescription d{
      .name = "RollingStd",
      .doc = "Rolling standard deviation with ddof delta degrees of freedom (1: the sample deviation).",
      .update_doc = "Process one bar. Returns ``[sd]``, ``NaN`` during warm-up or on ``NaN`` input.",
      .params = spread_params("must not be empty", 1, 1),
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_spread<RollingStd>,
      .is = is_a<RollingStd, Feature>,
      .arguments_of = spread_arguments<RollingStd>,
  };
  return d;
}

}  // namespace sarvek
