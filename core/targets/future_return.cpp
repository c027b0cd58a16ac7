#include "core/targets/future_return.h"

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

}  // namespace sarvek
