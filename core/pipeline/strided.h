#pragma once

// Whole columns of doubles as the pipelines' column runs take and give them
// at the boundary (a caller's buffers), and how such a run ends. Kept apart
// from the pipelines so that a caller handing over buffers needs only this.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace sarvek {

// A column of doubles read with a stride, in elements (a row-major table's
// column j is {base + j, width}). At this boundary NaN marks a missing value.
struct StridedColumn {
  const double* data;
  std::ptrdiff_t stride;
  double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};
// An output column written with a stride. When `present` is given, entry
// i of it (same stride rule, `present_stride` in bytes) is set to 1 for a
// present result and 0 for a missing one, so a computed NaN can be told
// from a missing value.
struct StridedOutput {
  double* data;
  std::ptrdiff_t stride;
  std::uint8_t* present = nullptr;
  std::ptrdiff_t present_stride = 0;
  double& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
  // Writes entry i: `value` when `is_present`, else NaN.
  void set(std::size_t i, bool is_present, double value) const {
    const auto at = static_cast<std::ptrdiff_t>(i);
    data[at * stride] = is_present ? value : std::numeric_limits<double>::quiet_NaN();
    if (present) present[at * present_stride] = is_present;
  }
};

// How a column run ended: every bar processed, or stopped by the caller's
// interrupt check (the features are then reset).
enum class RunStatus { done, interrupted };

}  // namespace sarvek
