#include "core/targets/future_ctc_volatility.h"

#include "core/catalog.h"

#include <algorithm>

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
  const std::span<const Value> close = columns[0];
  const Column prev = shift(close, 1);
  const Column returns = log_ratio(prev, close);
  const Column deviation = rolling_std(returns, horizon_);
  // Leading by n or more bars leaves the column entirely missing, so the
  // clamp changes nothing but keeps the offset representable.
  const auto lead = static_cast<std::ptrdiff_t>(std::min(horizon_, close.size()));
  std::vector<Column> out;
  out.push_back(shift(deviation, -lead));
  return out;
}

const TargetDescription& FutureCTCVolatility::description() {
  static const TargetDescription d{
      .name = "FutureCTCVolatility",
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
