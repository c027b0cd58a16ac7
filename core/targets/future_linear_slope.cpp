#include "core/targets/future_linear_slope.h"

#include "core/catalog.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/simd/kernels.h"
#include "core/window.h"

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
  const std::size_t n = columns[0].size();
  const std::size_t y = columns[1].size();
  // The last window that fits inside x ends at bar n - 1, so y must reach
  // that far whenever any window fits; beyond x, y is never read.
  if (horizon_ <= n && y < n)
    return invalid_input("y column must hold at least " + std::to_string(n) + " values, got " +
                         std::to_string(y));
  return compute_through_columns(*this, n, columns, 2, 2);
}

// Each window is regressed afresh from its own values by the column kernel
// the rolling LinearSlope runs (lanes::regress_lanes), so both give the same
// bits: bar i's window is bars i .. i + h - 1, present when every x and y in
// it is.
Result<std::size_t> FutureLinearSlope::label_columns(std::size_t n, std::span<const ColumnIn> in,
                                                     std::size_t labels, std::span<const ColumnOut> out) const {
  const std::size_t h = horizon_;
  const std::size_t known = std::min(labels, h <= n ? n - h + 1 : 0);
  if (known > 0) {
    const std::size_t count = known + h - 1;
    std::vector<std::uint8_t> present(count);
    for (std::size_t i = 0; i < count; ++i) present[i] = in[0].valid[i] & in[1].valid[i];
    complete_windows(present.data(), known, h, out[0].valid);
    std::copy_n(out[0].valid, known, out[1].valid);
    simd::kernels().regression(in[0].values, in[1].values, known, h, out[0].values, out[1].values, out[0].valid,
                               out[1].valid);
  }
  for (const ColumnOut& o : out.first(2)) {
    const ColumnOut rest{o.values + known, o.valid + known};
    fill_missing(std::span<const ColumnOut>(&rest, 1), labels - known);
  }
  return 2;
}

const TargetDescription& FutureLinearSlope::description() {
  static const TargetDescription d{
      .name = "FutureLinearSlope",
      .visibility = Visibility::module,
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
