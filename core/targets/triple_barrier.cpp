#include "core/targets/triple_barrier.h"

#include "core/catalog.h"

#include <algorithm>
#include <limits>

#include "core/tools/columns.h"

namespace sarvek {
namespace {

constexpr double kLeastPositive = std::numeric_limits<double>::denorm_min();
constexpr double kLargest = std::numeric_limits<double>::max();
constexpr const char* kInputs = "must contain a price column and at most one volatility column";

}  // namespace

Result<TripleBarrier> TripleBarrier::create(Names inputs, std::size_t horizon, Names outputs, double upper,
                                            double lower) {
  if (inputs.empty() || inputs.size() > 2) return invalid_input(std::string("inputs ") + kInputs);
  if (horizon == 0) return invalid_input("horizon must be > 0");
  if (outputs.size() != 2) return invalid_input("outputs must contain exactly 2 names: [label, bars]");
  if (auto ok = check_real("upper", upper, kLeastPositive, kLargest, "must be > 0"); !ok)
    return std::unexpected(std::move(ok.error()));
  if (auto ok = check_real("lower", lower, kLeastPositive, kLargest, "must be > 0"); !ok)
    return std::unexpected(std::move(ok.error()));
  return TripleBarrier(std::move(inputs), horizon, std::move(outputs), upper, lower);
}

Result<std::vector<Column>> TripleBarrier::compute(std::span<const std::span<const Value>> columns) const {
  const std::size_t reads = scaled() ? 2 : 1;
  if (columns.size() < reads) return too_few_columns(reads, columns.size());
  return compute_through_columns(*this, columns[0].size(), columns, reads, 2);
}

// Bar i walks its path p[i + 1 ..] until a barrier is touched, a price is
// missing, h bars have passed or the data ends. A present NaN return (a NaN
// price on the path, or an infinite p[i]) stops the walk with NaN outputs:
// it cannot be said which barrier, if any, it touched.
Result<std::size_t> TripleBarrier::label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                                 std::span<const ColumnOut> out) const {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const ColumnIn p = in[0];
  const std::size_t h = horizon_;
  for (std::size_t i = 0; i < labels; ++i) {
    double label = nan, bars = nan;
    bool present = false;
    const double base = p.values[i];
    double up = upper_, down = lower_;
    bool defined = p.valid[i] && pct_change_defined(base);
    if (defined && scaled()) {
      const double vol = in[1].values[i];
      defined = in[1].valid[i] && vol > 0.0;
      up = upper_ * vol;
      down = lower_ * vol;
      // A barrier scaled down to 0 (underflow) would let one bar touch both.
      defined = defined && up > 0.0 && down > 0.0;
    }
    if (defined) {
      down = -down;
      const std::size_t last = std::min(h, n - 1 - i);
      std::size_t j = 1;
      for (; j <= last; ++j) {
        if (!p.valid[i + j]) break;
        const double r = pct_change_of(base, p.values[i + j]);
        if (r >= up || r <= down || r != r) {
          present = true;
          label = r >= up ? 1.0 : r <= down ? -1.0 : nan;
          bars = r == r ? static_cast<double>(j) : nan;
          break;
        }
      }
      // No touch along a whole path of h bars.
      if (!present && j > h) {
        present = true;
        label = 0.0;
        bars = static_cast<double>(h);
      }
    }
    out[0].valid[i] = out[1].valid[i] = present;
    out[0].values[i] = label;
    out[1].values[i] = bars;
  }
  return 2;
}

const TargetDescription& TripleBarrier::description() {
  static const TargetDescription d{
      .name = "TripleBarrier",
      .doc = "First barrier touched within ``horizon`` bars: +1 upper, -1 lower, 0 neither; and after how "
             "many bars.",
      .output_names_doc = "Output column names (label, bars).",
      .params = {names_param("inputs", kInputs, 1),
                 count_param("horizon", "must be > 0", 1),
                 names_param("outputs", "must contain exactly 2 names: [label, bars]", 2),
                 real_param("upper", "must be > 0", kLeastPositive, kLargest, 0.02),
                 real_param("lower", "must be > 0", kLeastPositive, kLargest, 0.02)},
      .reads = 1,
      .produces = 2,
      .horizon = [](const Arguments& a) { return count_argument(a, 1); },
      .make = [](Arguments a) -> Result<std::unique_ptr<Target>> {
        return owned<TripleBarrier, Target>(TripleBarrier::create(std::get<Names>(std::move(a[0])),
                                                                  count_argument(a, 1),
                                                                  std::get<Names>(std::move(a[2])),
                                                                  real_argument(a, 3), real_argument(a, 4)));
      },
      .is = is_a<TripleBarrier, Target>,
      .arguments_of = [](const Target& t) -> Arguments {
        const auto& c = static_cast<const TripleBarrier&>(t);
        return {c.input_names(), c.horizon(), c.output_names(), c.upper(), c.lower()};
      },
  };
  return d;
}

}  // namespace sarvek
