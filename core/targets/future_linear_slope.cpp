#include "core/targets/future_linear_slope.h"

#include "core/catalog.h"

#include <algorithm>

#include "core/regression.h"

namespace sarvek {

Result<FutureLinearSlope> FutureLinearSlope::create(Names inputs, std::size_t horizon, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain x and y columns");
  if (std::any_of(inputs.begin(), inputs.end(), [](const std::string& s) { return s.empty(); }))
    return invalid_input("input names must not be empty");
  if (horizon < 2) return invalid_input("horizon must be >= 2");
  if (outputs.size() != 2) return invalid_input("outputs must contain exactly 2 names: [slope, r2]");
  return FutureLinearSlope(std::move(inputs), horizon, std::move(outputs));
}

Result<std::vector<Column>> FutureLinearSlope::compute(
    std::span<const std::span<const Value>> columns) const {
  if (columns.size() < 2) return too_few_columns(2, columns.size());
  const std::span<const Value> x = columns[0];
  const std::span<const Value> y = columns[1];
  const std::size_t n = x.size();
  const std::size_t h = horizon_;
  // The last window that fits inside x ends at bar n - 1, so y must reach
  // that far whenever any window fits; beyond x, y is never read.
  if (h <= n && y.size() < n)
    return invalid_input("y column must hold at least " + std::to_string(n) + " values, got " +
                         std::to_string(y.size()));

  std::vector<Column> out(2);
  out[0].assign(n, kMissing);
  out[1].assign(n, kMissing);
  if (h > n) return out;
  for (std::size_t i = 0; i + h <= n; ++i) {
    // Each window is regressed afresh from its own values.
    const Regression r =
        regress(h, [&](std::size_t j) { return x[i + j]; }, [&](std::size_t j) { return y[i + j]; });
    out[0][i] = r.slope;
    out[1][i] = r.r2;
  }
  return out;
}

const TargetDescription& FutureLinearSlope::description() {
  static const TargetDescription d{
      .name = "FutureLinearSlope",
      .doc = "Future OLS slope and R² of y on x over the next ``horizon`` bars.",
      .output_names_doc = "Output column names (slope, r2).",
      .params = {names_param("inputs", "must contain x and y columns", 2),
                 count_param("horizon", "must be >= 2", 2),
                 names_param("outputs", "must contain exactly 2 names: [slope, r2]", 2)},
      .reads = 2,
      .produces = 2,
      // The window of bar i is bars i .. i + horizon - 1.
      .horizon = [](const Arguments& a) { return count_argument(a, 1) - 1; },
      .make = make_horizon<FutureLinearSlope>,
      .is = is_a<FutureLinearSlope, Target>,
      .arguments_of = horizon_arguments<FutureLinearSlope>,
  };
  return d;
}

}  // namespace sarvek
