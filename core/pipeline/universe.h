#pragma once

// Many symbols driven by one pipeline: slot i holds symbol i's own copy of
// the pipeline, and one update call moves every symbol that has a bar by
// one bar. Each slot's results and state are exactly those of its own
// FeaturePipeline fed the same bars one by one, bit for bit.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/strided.h"
#include "core/value.h"

namespace sarvek {

// A table of doubles read with strides in elements: entry (i, j) is
// data[i * row_stride + j * column_stride].
struct StridedTable {
  const double* data;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t column_stride;
  double at(std::size_t i, std::size_t j) const {
    return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * column_stride];
  }
};

// This version runs each slot's pipeline in turn, a path every feature type
// supports. A lane path (a feature type's state for all slots as structure
// of arrays, SIMD across symbols with the per-lane operation order of its
// step) plugs in behind update(): the slots of such a type would live in
// its lane block instead of in per-slot pipelines, add/remove/warm would
// move a lane in or out, and save/load would write each lane in the same
// per-slot layout (Feature::state), so snapshots do not change.
class Universe {
 public:
  // `symbols` fresh copies of `prototype` (its state is not copied). May
  // throw std::bad_alloc.
  Universe(const FeaturePipeline& prototype, std::size_t symbols);

  Universe(Universe&&) noexcept = default;
  Universe& operator=(Universe&&) noexcept = default;

  std::size_t size() const { return slots_.size(); }
  std::size_t inputs() const { return inputs_; }
  std::size_t outputs() const { return outputs_; }
  const FeaturePipeline& prototype() const { return prototype_; }
  const FeaturePipeline& slot(std::size_t i) const { return slots_[i]; }

  // One bar for every symbol: row i of `bars` (inputs() values, NaN
  // missing, as FeaturePipeline::update reads them) goes to slot i when
  // `present` is null or present[i * present_stride] != 0; row i of `out`
  // (outputs() doubles, contiguous rows) receives its results, NaN for
  // missing. A symbol without a bar keeps its state and gets a row of NaN.
  // The caller has checked the shapes; `bars` has size() rows. Allocates
  // nothing.
  void update(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride, double* out);

  // A fresh slot at the end. May throw std::bad_alloc; then nothing changed.
  void add();
  // Drops slot `index` (< size()); the others keep their order.
  void remove(std::size_t index);

  // Brings slot `index` to the state of a fresh pipeline fed `bars` bars of
  // `inputs` (one column per input column, NaN missing) one by one, through
  // the column engine (the same bits). Refused with InvalidInput, before
  // anything changes, for a column count that does not match. The run goes
  // into a fresh copy that replaces the slot only when it completed:
  // interrupted or failing, the slot is exactly as it was.
  Result<RunStatus> warm(std::size_t index, std::size_t bars, std::span<const StridedColumn> inputs,
                         const std::function<bool()>& interrupted = {});

  // Every slot's state, slot after slot (core/state_io.h). Fails, naming
  // the type, when a feature type cannot be saved.
  Result<std::string> save() const;
  // Replaces every slot by one restored from `state` (as save() wrote it,
  // for a universe of the same pipeline): the slots are built and restored
  // aside and swapped in only when every byte read cleanly and none is left
  // over; otherwise refused with InvalidInput naming the problem and the
  // universe is unchanged. The slot count comes from the state.
  Result<void> load(std::span<const unsigned char> state);

 private:
  FeaturePipeline prototype_;
  std::vector<FeaturePipeline> slots_;
  std::size_t inputs_;
  std::size_t outputs_;
  std::vector<Value> bar_;  // one row as values, reused by every update
};

}  // namespace sarvek
