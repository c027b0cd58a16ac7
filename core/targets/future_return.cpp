#include "core/targets/future_return.h"

#include "core/catalog.h"

#include <algorithm>

#include "core/tools/columns.h"

namespace sarvek {

Result<FutureReturn> FutureReturn::create(Names inputs, std::size_t horizon, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (horizon == 0) return invalid_input("horizon must be > 0");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  return FutureReturn(std::move(inputs), horizon, std::move(outputs));
}

Result<std::vector<Column>> FutureReturn::compute(std::span<const std::span<const Value>> columns) const {
  if (columns.empty()) return too_few_columns(1, 0);
  const std::span<const Value> price = columns[0];
  // A lead of n or more bars leaves nothing to copy; clamping keeps the
  // offset representable whatever the horizon.
  const auto lead = static_cast<std::ptrdiff_t>(std::min(horizon_, price.size()));
  const Column future = shift(price, -lead);
  std::vector<Column> out;
  out.push_back(pct_change(price, future));
  return out;
}

const TargetDescription& FutureReturn::description() {
  static const TargetDescription d{
      .name = "FutureReturn",
      .doc = "Future simple return over ``horizon`` bars.",
      .output_names_doc = "Output column names.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("horizon", "must be > 0", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .horizon = [](const Arguments& a) { return count_argument(a, 1); },
      .make = make_horizon<FutureReturn>,
      .is = is_a<FutureReturn, Target>,
      .arguments_of = horizon_arguments<FutureReturn>,
  };
  return d;
}

}  // namespace sarvek
