#include "core/features/kurtosis.h"
#include "core/lane_block.h"

#include "core/catalog.h"

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

double n_of(std::size_t window) { return static_cast<double>(window); }

double kurt_scale(std::size_t window) {
  const double n = n_of(window);
  const double a = n * (n + 1.0);
  const double b = ((n - 1.0) * (n - 2.0)) * (n - 3.0);
  return a / b;
}

double kurt_correction(std::size_t window) {
  const double n = n_of(window);
  const double c = ((n - 1.0) * (n - 1.0)) * 3.0;
  const double d = (n - 2.0) * (n - 3.0);
  return c / d;
}

}  // namespace

Kurtosis::Kurtosis(Names inputs, std::size_t window, Names outputs)
    : MomentFeature(std::move(inputs), window, std::move(outputs)),
      scale_(kurt_scale(window)),
      correction_(kurt_correction(window)) {}

Result<Kurtosis> Kurtosis::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 4) return invalid_input("window must be >= 4");
  return Kurtosis(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Kurtosis::fresh() const { return rebuild<Kurtosis>(inputs_, window_, outputs_); }

Values Kurtosis::step(std::span<const Value> values) {
  if (!push(values[0])) return {kMissing};
  const auto r = lanes::kurtosis<double>(buffer_.values(), window_, scale_, correction_);
  if (!r.ok) return {kMissing};
  return {r.value};
}

void Kurtosis::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_moment(bars, in, out, [&](const double* p, std::size_t n, const ColumnOut& o) {
    simd::kernels().kurtosis(p, n, window_, scale_, correction_, o.values, o.valid);
  });
}

const FeatureDescription& Kurtosis::description() {
  static const FeatureDescription d{
      .name = "Kurtosis",
      .visibility = Visibility::module,
      .doc = "Rolling excess kurtosis (Fisher).",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be >= 4", 4),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<Kurtosis>,
      .is = is_a<Kurtosis, Feature>,
      .arguments_of = windowed_arguments<Kurtosis>,
  };
  return d;
}

std::unique_ptr<LaneBlock> Kurtosis::lanes() const {
  return window_lanes(window_, [w = window_, scale = scale_, correction = correction_](
                                   const double* rows, std::size_t blocks, std::size_t stride, const LaneOut& out) {
    simd::kernels().lanes_kurtosis(rows, blocks, stride, w, scale, correction, out.values, out.valid);
  });
}

}  // namespace sarvek
