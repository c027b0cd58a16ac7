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
  // A result written once and handed over (not a buffer the caller reads
  // back at once): a contiguous one is then written past the caches.
  bool stream = false;
  double& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
  // Writes entry i: `value` when `is_present`, else NaN.
  void set(std::size_t i, bool is_present, double value) const {
    const auto at = static_cast<std::ptrdiff_t>(i);
    data[at * stride] = is_present ? value : std::numeric_limits<double>::quiet_NaN();
    if (present) present[at * present_stride] = is_present;
  }
};

// How a column run may spread over threads: cut into pieces of consecutive
// bars, one per thread, each giving exactly the bits one thread would.
// Features: each piece after the first is computed by a fresh copy of the
// pipeline fed from as many bars before the piece as its longest chain of
// features remembers (the plan's history). A recursion (a feature whose
// output depends on every bar since the start, or one reading such a
// feature) has no bounded history: the recursions, with the features they
// read, run whole on the calling thread while the features of bounded
// memory are cut into pieces beside them, each piece taken by whichever
// thread is free (the calling one too once the recursions are done).
// Targets: each piece reads past its end as far as the longest horizon.
struct RunThreads {
  // Threads at most, the calling one included; 1 keeps the run on the
  // calling thread.
  std::size_t count = 1;
  // Bars per piece at least; 0 chooses max(kPieceBars, 2 * history)
  // (targets: 2 * horizon), so the bars a piece recomputes before its own
  // cost at most half of them.
  std::size_t piece_bars = 0;
  static constexpr std::size_t kPieceBars = 16384;
  // Never more threads than this, whatever is asked.
  static constexpr std::size_t kMost = 256;
};

// How a column run ended: every bar processed, or stopped by the caller's
// interrupt check (the features are then reset).
enum class RunStatus { done, interrupted };

}  // namespace sarvek
