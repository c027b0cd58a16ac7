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
  return compute_through_columns(*this, columns[0].size(), columns, 1, 1);
}

// pct_change of the prices and the prices `horizon` bars later: the later
// column is the price column led by the horizon, so bars whose future lies
// beyond the data are missing.
Result<std::size_t> FutureReturn::label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                                std::span<const ColumnOut> out) const {
  const ColumnIn p = in[0];
  const std::size_t known = std::min(labels, horizon_ < n ? n - horizon_ : 0);
  if (known > 0) pct_change(known, p, {p.values + horizon_, p.valid + horizon_}, out[0]);
  const ColumnOut rest{out[0].values + known, out[0].valid + known};
  fill_missing(std::span<const ColumnOut>(&rest, 1), labels - known);
  return 1;
}

const TargetDescription& FutureReturn::description() {
  static const TargetDescription d{
      .name = "FutureReturn",
      .visibility = Visibility::module,
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
