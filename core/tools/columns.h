#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "core/column.h"
#include "core/value.h"

namespace sarvek {

// Whole-column functions shared by the targets. Each returns a new column,
// allocated once at its final length, and leaves its arguments unchanged.

// Entry i is c[i - k] when 0 <= i - k < n, missing otherwise: a positive k
// lags (moves values later), a negative k leads (moves values earlier). An
// offset of n or more in either direction gives an entirely missing column.
Column shift(std::span<const Value> c, std::ptrdiff_t k);

// Entry i is (later[i] - base[i]) / base[i], present when both are present
// and base[i] > 0 (a NaN base fails the test). The result is as long as the
// shorter argument.
Column pct_change(std::span<const Value> base, std::span<const Value> later);

// Entry i is ln(later[i] / base[i]), present when both are present and
// positive. The result is as long as the shorter argument.
Column log_ratio(std::span<const Value> base, std::span<const Value> later);

// Entry i is the sample standard deviation (divisor w - 1) of c[i - w + 1]
// .. c[i]; missing while fewer than w entries are available, when w < 2,
// or when any entry of the window is missing. The window is re-summed at
// every position, oldest to newest, so no error is carried along.
Column rolling_std(std::span<const Value> c, std::size_t w);

// The same arithmetic over the engine's columns (values + validity), on
// which the targets run; the functions above are these, converted.

// The rule and arithmetic of one entry of pct_change and log_ratio.
inline bool pct_change_defined(double base) { return base > 0.0; }
inline double pct_change_of(double base, double later) { return (later - base) / base; }
inline bool log_ratio_defined(double base, double later) { return base > 0.0 && later > 0.0; }
// One division, one logarithm: not the difference of two logarithms.
inline double log_ratio_of(double base, double later) { return std::log(later / base); }

// out[i] = pct_change / log_ratio of base[i] and later[i], for i < n.
void pct_change(std::size_t n, ColumnIn base, ColumnIn later, ColumnOut out);
void log_ratio(std::size_t n, ColumnIn base, ColumnIn later, ColumnOut out);

// out[i] = the sample standard deviation of c[i .. i + w), for i < windows
// (c holds windows + w - 1 entries): missing when w < 2 or when an entry of
// the window is missing. Each window is summed afresh, oldest to newest
// (lanes::mean_sd, through the column kernels).
void window_sd(std::size_t windows, ColumnIn c, std::size_t w, ColumnOut out);

}  // namespace sarvek
