#pragma once

#include <cstddef>
#include <span>

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

}  // namespace sarvek
