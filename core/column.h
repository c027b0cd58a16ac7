#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

namespace sarvek {

// A contiguous input column for a column run: entry i is present when
// valid[i] != 0. A present NaN is a number like any other; the value of a
// missing entry is never read as a number's value (it may be anything).
struct ColumnIn {
  const double* values;
  const std::uint8_t* valid;
};

// A contiguous output column owned by the caller: every entry is written,
// valid[i] = 0 marking a missing value (values[i] is then unspecified).
struct ColumnOut {
  double* values;
  std::uint8_t* valid;
};

// Marks every entry of `cols` missing (NaN numbers), `bars` entries each.
inline void fill_missing(std::span<const ColumnOut> cols, std::size_t bars) {
  if (bars == 0) return;  // empty columns may have no storage at all
  for (const ColumnOut& c : cols) {
    std::fill(c.values, c.values + bars, std::numeric_limits<double>::quiet_NaN());
    std::memset(c.valid, 0, bars);
  }
}

}  // namespace sarvek
