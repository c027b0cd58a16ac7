#include "core/features/cci.h"

#include "core/catalog.h"

#include <limits>

#include "core/features/typical_price.h"
#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

constexpr const char* kConstantConstraint = "must be > 0";
constexpr double kLeastConstant = std::numeric_limits<double>::denorm_min();
constexpr double kMaxConstant = std::numeric_limits<double>::max();

}  // namespace

Cci::Cci(Names inputs, std::size_t window, Names outputs, double constant)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), terms_(window), constant_(constant) {}

Result<Cci> Cci::create(Names inputs, std::size_t window, Names outputs, double constant) {
  if (inputs.size() < 3) return invalid_input("inputs must contain high, low and close columns");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 2) return invalid_input("window must be >= 2");
  if (auto ok = check_real("constant", constant, kLeastConstant, kMaxConstant, kConstantConstraint); !ok)
    return std::unexpected(std::move(ok.error()));
  return Cci(std::move(inputs), window, std::move(outputs), constant);
}

std::unique_ptr<Feature> Cci::fresh() const { return rebuild<Cci>(inputs_, window_, outputs_, constant_); }

// The typical prices of the window (typical_price), then lanes::cci.
Values Cci::step(std::span<const Value> values) {
  push_value(terms_, typical_price(values[0], values[1], values[2]));
  if (!terms_.complete()) return {kMissing};
  const auto r = lanes::cci<double>(terms_.values(), window_, constant_);
  return {r.ok ? Value(r.value) : kMissing};
}

void Cci::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const auto term = [in](std::size_t i) {
    return typical_price(value_at(in, 0, i), value_at(in, 1, i), value_at(in, 2, i));
  };
  run_window(terms_, bars, out, 1, Marks::complete_windows, TermEntries{term},
             [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().cci(r.values[0], r.bars, r.span, constant_, o[0].values, o[0].valid);
             });
}

namespace {

Result<std::unique_ptr<Feature>> make_cci(Arguments a) {
  return owned<Cci, Feature>(Cci::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                         std::get<Names>(std::move(a[2])), real_argument(a, 3)));
}

Arguments cci_arguments(const Feature& f) {
  const auto& c = static_cast<const Cci&>(f);
  return {c.input_names(), c.window(), c.output_names(), c.constant()};
}

}  // namespace

const FeatureDescription& Cci::description() {
  static const FeatureDescription d{
      .name = "Cci",
      .doc = "Commodity Channel Index over a rolling window (high, low, close; usually window 20): the typical "
             "price's distance from its mean in constant * mean absolute deviations.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up, on ``NaN`` input or where the window's "
                    "typical prices are all equal.",
      .params = {names_param("inputs", "must contain high, low and close columns", 3),
                 count_param("window", "must be >= 2", 2),
                 names_param("outputs", "must not be empty", 1),
                 real_param("constant", kConstantConstraint, kLeastConstant, kMaxConstant, 0.015)},
      .reads = 3,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_cci,
      .is = is_a<Cci, Feature>,
      .arguments_of = cci_arguments,
  };
  return d;
}

}  // namespace sarvek
