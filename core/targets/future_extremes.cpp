#include "core/targets/future_extremes.h"

#include "core/catalog.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/tools/columns.h"
#include "core/window.h"

namespace sarvek {
namespace {

// The running extremes of RollingMax / RollingMin: a NaN wins. Which of
// two equal values is kept never shows in a return, (0.0 - p) and
// (-0.0 - p) being the same number.
inline double nan_max(double a, double b) { return (b > a || b != b) ? b : a; }
inline double nan_min(double a, double b) { return (b < a || b != b) ? b : a; }

// One return, every NaN the same quiet NaN so that its bits do not depend
// on which NaN of the window was kept.
inline double return_of(double base, double later) {
  const double r = pct_change_of(base, later);
  return r == r ? r : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

Result<FutureExtremes> FutureExtremes::create(Names inputs, std::size_t horizon, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (horizon == 0) return invalid_input("horizon must be > 0");
  if (outputs.size() != 2) return invalid_input("outputs must contain exactly 2 names: [max_ret, min_ret]");
  return FutureExtremes(std::move(inputs), horizon, std::move(outputs));
}

Result<std::vector<Column>> FutureExtremes::compute(std::span<const std::span<const Value>> columns) const {
  if (columns.empty()) return too_few_columns(1, 0);
  return compute_through_columns(*this, columns[0].size(), columns, 1, 2);
}

// The window of bar i is x = p[i + 1 .. i + h]. Its largest and smallest
// prices come from blocks of h entries (van Herk / Gil-Werman): a window
// starting inside a block is the block's tail from its start plus the next
// block's head up to its end, each extreme of one such piece computed once,
// so every label costs a few comparisons whatever the horizon. Exact: an
// extreme is one of the window's values, found by comparisons only.
Result<std::size_t> FutureExtremes::label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                                  std::span<const ColumnOut> out) const {
  const ColumnIn p = in[0];
  const std::size_t h = horizon_;
  const std::size_t known = std::min(labels, h < n ? n - h : 0);
  if (known > 0) {
    const std::size_t count = known + h - 1;
    // The prices after each bar, a missing one read as 0 (its windows are
    // missing, and no other window reads it).
    std::vector<double> x(count);
    for (std::size_t k = 0; k < count; ++k) x[k] = p.valid[k + 1] ? p.values[k + 1] : 0.0;
    std::vector<std::uint8_t> complete(known);
    complete_windows(p.valid + 1, known, h, complete.data());
    // Extremes from each entry to the end of its block.
    std::vector<double> tail_max(count), tail_min(count);
    for (std::size_t start = 0; start < count; start += h) {
      const std::size_t end = std::min(start + h, count) - 1;
      tail_max[end] = tail_min[end] = x[end];
      for (std::size_t k = end; k-- > start;) {
        tail_max[k] = nan_max(x[k], tail_max[k + 1]);
        tail_min[k] = nan_min(x[k], tail_min[k + 1]);
      }
    }
    // Walk the window ends, keeping the extremes from the block's start
    // (`at`: the end's place in its block).
    double head_max = 0.0, head_min = 0.0;
    for (std::size_t e = 0, at = 0; e < count; ++e, at = at + 1 == h ? 0 : at + 1) {
      head_max = at == 0 ? x[e] : nan_max(head_max, x[e]);
      head_min = at == 0 ? x[e] : nan_min(head_min, x[e]);
      if (e + 1 < h) continue;
      const std::size_t i = e + 1 - h;
      const double base = p.values[i];
      const bool present = complete[i] && p.valid[i] && pct_change_defined(base);
      out[0].valid[i] = out[1].valid[i] = present;
      if (!present) {
        out[0].values[i] = out[1].values[i] = std::numeric_limits<double>::quiet_NaN();
        continue;
      }
      const bool whole_block = at == h - 1;  // the window starts a block
      out[0].values[i] = return_of(base, whole_block ? head_max : nan_max(tail_max[i], head_max));
      out[1].values[i] = return_of(base, whole_block ? head_min : nan_min(tail_min[i], head_min));
    }
  }
  for (const ColumnOut& o : out.first(2)) {
    const ColumnOut rest{o.values + known, o.valid + known};
    fill_missing(std::span<const ColumnOut>(&rest, 1), labels - known);
  }
  return 2;
}

const TargetDescription& FutureExtremes::description() {
  static const TargetDescription d{
      .name = "FutureExtremes",
      .doc = "Largest and smallest simple return over the next ``horizon`` bars.",
      .output_names_doc = "Output column names (max_ret, min_ret).",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("horizon", "must be > 0", 1),
                 names_param("outputs", "must contain exactly 2 names: [max_ret, min_ret]", 2)},
      .reads = 1,
      .produces = 2,
      .horizon = [](const Arguments& a) { return count_argument(a, 1); },
      .make = make_horizon<FutureExtremes>,
      .is = is_a<FutureExtremes, Target>,
      .arguments_of = horizon_arguments<FutureExtremes>,
  };
  return d;
}

}  // namespace sarvek
