#include "core/features/z_score.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Result<ZScore> ZScore::create(Names inputs, std::size_t window, Names outputs, std::size_t ddof) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (auto ok = check_window(window, ddof); !ok) return std::unexpected(std::move(ok.error()));
  return ZScore(std::move(inputs), window, std::move(outputs), ddof);
}

std::unique_ptr<Feature> ZScore::fresh() const { return rebuild<ZScore>(inputs_, window_, outputs_, ddof_); }

Values ZScore::step(std::span<const Value> values) {
  if (!push(values[0])) return {kMissing};
  const auto r = lanes::zscore<double>(buffer_.values(), window_, divisor_);
  if (!r.ok) return {kMissing};
  return {r.value};
}

void ZScore::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [&](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().zscore(r.values[0], r.bars, r.span, divisor_, o[0].values, o[0].valid);
             });
}

const FeatureDescription& ZScore::description() {
  static const FeatureDescription d{
      .name = "ZScore",
      .doc = "Rolling z-score of the newest value against its window (itself included), sd with ddof.",
      .update_doc = "Process one bar. Returns ``[z]``, ``NaN`` during warm-up, on ``NaN`` input or where "
                    "the window's deviation is zero.",
      .params = spread_params("must not be empty", 1, 1),
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_spread<ZScore>,
      .is = is_a<ZScore, Feature>,
      .arguments_of = spread_arguments<ZScore>,
  };
  return d;
}

}  // namespace sarvek
