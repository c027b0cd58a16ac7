#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/column.h"
#include "core/feature.h"

namespace sarvek {

// One bar through a recursion's column run: its update gives the bits of
// the very instructions its column runs execute. The running stretches of
// a column run keep their state in registers; a separately compiled copy of
// the same arithmetic may order the operands of an addition differently,
// which changes nothing but the sign of a NaN met by a NaN, and that too
// must not differ.
template <std::size_t Reads, std::size_t Produces, class Run>
Values run_one_bar(std::span<const Value> values, Run&& run) {
  std::array<double, Reads> x{};
  std::array<std::uint8_t, Reads> present{};
  std::array<ColumnIn, Reads> in{};
  for (std::size_t k = 0; k < Reads; ++k) {
    present[k] = values[k].has_value();
    x[k] = values[k] ? *values[k] : 0.0;
    in[k] = {&x[k], &present[k]};
  }
  std::array<double, Produces> y{};
  std::array<std::uint8_t, Produces> valid{};
  std::array<ColumnOut, Produces> out{};
  for (std::size_t k = 0; k < Produces; ++k) out[k] = {&y[k], &valid[k]};
  run(std::span<const ColumnIn>(in), std::span<const ColumnOut>(out));
  Values r;
  for (std::size_t k = 0; k < Produces; ++k) r.push_back(valid[k] ? Value(y[k]) : kMissing);
  return r;
}

}  // namespace sarvek
