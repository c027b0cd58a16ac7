#include "core/targets/future_ctc_volatility.h"

#include "core/catalog.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/tools/columns.h"

namespace sarvek {

// The one output is named after the input and the horizon, never by the
// caller.
FutureCTCVolatility::FutureCTCVolatility(std::string input, std::size_t horizon)
    : ConfiguredTarget({input}, horizon, {input + "_future_ctc_vol_" + std::to_string(horizon)}) {}

Result<FutureCTCVolatility> FutureCTCVolatility::create(std::string input, std::size_t horizon) {
  if (input.empty()) return invalid_input("input must not be empty");
  if (horizon == 0) return invalid_input("horizon must be > 0");
  return FutureCTCVolatility(std::move(input), horizon);
}

Result<std::vector<Column>> FutureCTCVolatility::compute(
    std::span<const std::span<const Value>> columns) const {
  if (columns.empty()) return too_few_columns(1, 0);
  return compute_through_columns(*this, columns[0].size(), columns, 1, 1);
}

// The close-to-close log returns r[j] = ln(c[j] / c[j - 1]) for j >= 1
// (log_ratio of the closes and the closes one bar later), then bar i's
// label is the sample deviation of r[i + 1 .. i + h]: window i of
// window_sd over the returns from r[1] on. Bars whose window runs past the
// data are missing.
Result<std::size_t> FutureCTCVolatility::label_columns(std::size_t n, std::span<const ColumnIn> in,
                                                       std::size_t labels, std::span<const ColumnOut> out) const {
  const ColumnIn c = in[0];
  const std::size_t known = std::min(labels, horizon_ < n ? n - horizon_ : 0);
  if (known > 0) {
    // Returns r[1 .. known + horizon - 1], the ones the known labels read.
    const std::size_t count = known + horizon_ - 1;
    std::vector<double> r(count);
    std::vector<std::uint8_t> ok(count);
    log_ratio(count, c, {c.values + 1, c.valid + 1}, {r.data(), ok.data()});
    window_sd(known, {r.data(), ok.data()}, horizon_, out[0]);
  }
  const ColumnOut rest{out[0].values + known, out[0].valid + known};
  fill_missing(std::span<const ColumnOut>(&rest, 1), labels - known);
  return 1;
}

const TargetDescription& FutureCTCVolatility::description() {
  static const TargetDescription d{
      .name = "FutureCTCVolatility",
      .visibility = Visibility::module,
      .doc = "Future close-to-close realized volatility.",
      .output_names_doc = "Output column names.",
      .params = {ParamDescription{"input", ParamKind::name, std::nullopt, "must not be empty", 1},
                 count_param("horizon", "must be > 0", 1)},
      .reads = 1,
      .produces = 1,
      .horizon = [](const Arguments& a) { return count_argument(a, 1); },
      .make = [](Arguments a) -> Result<std::unique_ptr<Target>> {
        return owned<FutureCTCVolatility, Target>(
            FutureCTCVolatility::create(std::get<std::string>(std::move(a[0])), count_argument(a, 1)));
      },
      .is = is_a<FutureCTCVolatility, Target>,
      .arguments_of = [](const Target& t) -> Arguments {
        const auto& c = static_cast<const FutureCTCVolatility&>(t);
        return {c.input(), c.horizon()};
      },
  };
  return d;
}

}  // namespace sarvek
