#pragma once

#include <cstring>

#include "core/column.h"
#include "core/value.h"
#include "core/window.h"

namespace sarvek {

// Pushes a bar's value into a one-number window; a missing value is held
// as a missing entry.
inline void push_value(Window<1>& w, const Value& v) { w.push(v.has_value(), v ? *v : 0.0); }

// Stages `in` (bars entries) behind the window's history for a column run:
// afterwards bar i's window of the last n entries is
// staged()[i + lookback() + 1 - n .. i + lookback()].
inline void stage_column(StagedWindow<1>& w, std::size_t bars, const ColumnIn& in) {
  w.reserve(bars);
  w.begin(bars);
  const std::size_t l = w.lookback();
  std::memcpy(w.staged() + l, in.values, bars * sizeof(double));
  std::memcpy(w.staged_valid() + l, in.valid, bars);
}

}  // namespace sarvek
