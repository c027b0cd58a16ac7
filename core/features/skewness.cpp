#include "core/features/skewness.h"
#include "core/lane_block.h"

#include "core/catalog.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

double skew_coef(std::size_t window) {
  const double n = static_cast<double>(window);
  const double n1 = static_cast<double>(window - 1);
  const double n2 = static_cast<double>(window - 2);
  return n / (n1 * n2);
}

}  // namespace

Skewness::Skewness(Names inputs, std::size_t window, Names outputs)
    : MomentFeature(std::move(inputs), window, std::move(outputs)), coef_(skew_coef(window)) {}

Result<Skewness> Skewness::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 3) return invalid_input("window must be >= 3");
  return Skewness(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Skewness::fresh() const { return rebuild<Skewness>(inputs_, window_, outputs_); }

Values Skewness::step(std::span<const Value> values) {
  if (!push(values[0])) return {kMissing};
  const auto r = lanes::skewness<double>(buffer_.values(), window_, coef_);
  if (!r.ok) return {kMissing};
  return {r.value};
}

void Skewness::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_moment(bars, in, out, [&](const double* p, std::size_t n, const ColumnOut& o) {
    simd::kernels().skewness(p, n, window_, coef_, o.values, o.valid);
  });
}

const FeatureDescription& Skewness::description() {
  static const FeatureDescription d{
      .name = "Skewness",
      .visibility = Visibility::module,
      .doc = "Rolling sample skewness (Fisher-Pearson corrected).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be >= 3", 3),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<Skewness>,
      .is = is_a<Skewness, Feature>,
      .arguments_of = windowed_arguments<Skewness>,
  };
  return d;
}

std::unique_ptr<LaneBlock> Skewness::lanes() const {
  return window_lanes(window_, [w = window_, coef = coef_](const double* rows, std::size_t blocks,
                                                           std::size_t stride, const LaneOut& out) {
    simd::kernels().lanes_skewness(rows, blocks, stride, w, coef, out.values, out.valid);
  });
}

}  // namespace sarvek
