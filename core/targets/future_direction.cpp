#include "core/targets/future_direction.h"

#include "core/catalog.h"

#include <algorithm>
#include <limits>

#include "core/tools/columns.h"

namespace sarvek {

Result<FutureDirection> FutureDirection::create(Names inputs, std::size_t horizon, Names outputs,
                                                double threshold) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (horizon == 0) return invalid_input("horizon must be > 0");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (auto ok = check_real("threshold", threshold, 0.0, std::numeric_limits<double>::max(), "must be >= 0"); !ok)
    return std::unexpected(std::move(ok.error()));
  return FutureDirection(std::move(inputs), horizon, std::move(outputs), threshold);
}

Result<std::vector<Column>> FutureDirection::compute(std::span<const std::span<const Value>> columns) const {
  if (columns.empty()) return too_few_columns(1, 0);
  return compute_through_columns(*this, columns[0].size(), columns, 1, 1);
}

// FutureReturn's return (pct_change of the prices and the prices led by the
// horizon), then its side of the band [-threshold, threshold].
Result<std::size_t> FutureDirection::label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                                   std::span<const ColumnOut> out) const {
  const ColumnIn p = in[0];
  const std::size_t known = std::min(labels, horizon_ < n ? n - horizon_ : 0);
  if (known > 0) {
    pct_change(known, p, {p.values + horizon_, p.valid + horizon_}, out[0]);
    const double up = threshold_, down = -threshold_;
    for (std::size_t i = 0; i < known; ++i) {
      const double r = out[0].values[i];
      out[0].values[i] = r > up                  ? 1.0
                         : r < down              ? -1.0
                         : r == r && out[0].valid[i] ? 0.0
                                                   : std::numeric_limits<double>::quiet_NaN();
    }
  }
  const ColumnOut rest{out[0].values + known, out[0].valid + known};
  fill_missing(std::span<const ColumnOut>(&rest, 1), labels - known);
  return 1;
}

const TargetDescription& FutureDirection::description() {
  static const TargetDescription d{
      .name = "FutureDirection",
      .doc = "Direction of the simple return over ``horizon`` bars: +1 above ``threshold``, -1 below "
             "``-threshold``, else 0.",
      .output_names_doc = "Output column names.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("horizon", "must be > 0", 1),
                 names_param("outputs", "must not be empty", 1),
                 real_param("threshold", "must be >= 0", 0.0, std::numeric_limits<double>::max(), 0.0)},
      .reads = 1,
      .produces = 1,
      .horizon = [](const Arguments& a) { return count_argument(a, 1); },
      .make = [](Arguments a) -> Result<std::unique_ptr<Target>> {
        return owned<FutureDirection, Target>(FutureDirection::create(std::get<Names>(std::move(a[0])),
                                                                      count_argument(a, 1),
                                                                      std::get<Names>(std::move(a[2])),
                                                                      real_argument(a, 3)));
      },
      .is = is_a<FutureDirection, Target>,
      .arguments_of = [](const Target& t) -> Arguments {
        const auto& c = static_cast<const FutureDirection&>(t);
        return {c.input_names(), c.horizon(), c.output_names(), c.threshold()};
      },
  };
  return d;
}

}  // namespace sarvek
