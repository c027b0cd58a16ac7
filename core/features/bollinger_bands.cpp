#include "core/features/bollinger_bands.h"

#include <limits>

#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {
namespace {

constexpr double kMaxK = std::numeric_limits<double>::max();
constexpr const char* kKConstraint = "must be >= 0";
constexpr const char* kOutputsConstraint = "must contain exactly 3 names: [middle, upper, lower]";

}  // namespace

Result<BollingerBands> BollingerBands::create(Names inputs, std::size_t window, Names outputs, double k,
                                              std::size_t ddof) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.size() != 3) return invalid_input(std::string("outputs ") + kOutputsConstraint);
  if (auto ok = check_window(window, ddof); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_real("k", k, 0.0, kMaxK, kKConstraint); !ok) return std::unexpected(std::move(ok.error()));
  return BollingerBands(std::move(inputs), window, std::move(outputs), k, ddof);
}

std::unique_ptr<Feature> BollingerBands::fresh() const {
  return rebuild<BollingerBands>(inputs_, window_, outputs_, k_, ddof_);
}

Values BollingerBands::step(std::span<const Value> values) {
  if (!push(values[0])) return {kMissing, kMissing, kMissing};
  const auto b = lanes::bollinger<double>(buffer_.values(), window_, divisor_, k_);
  return {b.middle, b.upper, b.lower};
}

void BollingerBands::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 3, Marks::complete_windows, InputEntries<1>{in},
             [&](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               simd::kernels().bollinger(r.values[0], r.bars, r.span, divisor_, k_, o[0].values, o[1].values,
                                         o[2].values);
             });
}

namespace {

Result<std::unique_ptr<Feature>> make_bands(Arguments a) {
  return owned<BollingerBands, Feature>(BollingerBands::create(std::get<Names>(std::move(a[0])),
                                                               count_argument(a, 1),
                                                               std::get<Names>(std::move(a[2])),
                                                               real_argument(a, 3), count_argument(a, 4)));
}

Arguments bands_arguments(const Feature& f) {
  const auto& b = static_cast<const BollingerBands&>(f);
  return {b.input_names(), b.window(), b.output_names(), b.k(), b.ddof()};
}

}  // namespace

const FeatureDescription& BollingerBands::description() {
  static const FeatureDescription d{
      .name = "BollingerBands",
      .doc = "Bollinger bands: the rolling mean, and the mean plus and minus k standard deviations (ddof).",
      .update_doc = "Process one bar. Returns ``[middle, upper, lower]``, ``NaN`` during warm-up or on "
                    "``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1), count_param("window", "must be non-zero", 1),
                 names_param("outputs", kOutputsConstraint, 3),
                 real_param("k", kKConstraint, 0.0, kMaxK, 2.0),
                 count_param("ddof", "must be < window", 0, 0)},
      .reads = 1,
      .produces = 3,
      .memory = memory_window_minus_one,
      .make = make_bands,
      .is = is_a<BollingerBands, Feature>,
      .arguments_of = bands_arguments,
  };
  return d;
}

}  // namespace sarvek
