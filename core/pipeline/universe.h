#pragma once

// Many symbols driven by one pipeline: one update call moves every symbol
// that has a bar by one bar. Each symbol's results and state are exactly
// those of its own FeaturePipeline fed the same bars one by one, bit for
// bit.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/lane_block.h"
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

// Each feature keeps its state for every symbol in one lane block
// (Feature::lanes, core/lane_block.h): structure of arrays, the window
// arithmetic across symbols with each lane's own operation order. A type
// without a lane block runs one copy of itself per symbol behind the same
// interface. Symbols are lanes 0 .. size() - 1, in order.
class Universe {
 public:
  // `symbols` fresh symbols for `prototype`'s plan (its state is not
  // copied). May throw std::bad_alloc.
  Universe(const FeaturePipeline& prototype, std::size_t symbols);

  Universe(Universe&&) noexcept = default;
  Universe& operator=(Universe&&) noexcept = default;

  std::size_t size() const { return used_; }
  std::size_t inputs() const { return inputs_; }
  std::size_t outputs() const { return outputs_; }
  const FeaturePipeline& prototype() const { return prototype_; }

  // One bar for every symbol: row i of `bars` (inputs() values, NaN
  // missing, as FeaturePipeline::update reads them) goes to symbol i when
  // `present` is null or present[i * present_stride] != 0; row i of `out`
  // (outputs() doubles, contiguous rows) receives its results, NaN for
  // missing. A symbol without a bar keeps its state and gets a row of NaN.
  // The caller has checked the shapes; `bars` has size() rows. Allocates
  // nothing.
  void update(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride, double* out);
  // The same without writing rows: afterwards output k of lane i is
  // output_values(k)[i], present where output_valid(k)[i] != 0 (a symbol
  // without a bar: not present). Valid until the next call that changes
  // the universe.
  void advance(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride);
  // The same with the bars as columns: lane i's value of input column c is
  // columns[c][i] (inputs() columns).
  void advance(std::span<const StridedColumn> columns, const std::uint8_t* present, std::ptrdiff_t present_stride);
  const double* output_values(std::size_t k) const { return values_.data() + (1 + k) * room_; }
  const std::uint8_t* output_valid(std::size_t k) const { return valid_.data() + (1 + k) * room_; }
  // True when every feature runs in lanes of its type; false when some
  // type runs one copy of itself per symbol.
  bool in_lanes() const;

  // A fresh symbol at the end. May throw std::bad_alloc; then nothing
  // changed.
  void add();
  // Drops symbol `index` (< size()); the others keep their order.
  void remove(std::size_t index);

  // Brings symbol `index` to the state of a fresh pipeline fed `bars` bars
  // of `inputs` (one column per input column, NaN missing) one by one,
  // through the column engine (the same bits). Refused with InvalidInput,
  // before anything changes, for a column count that does not match. The
  // run goes into a fresh pipeline whose state replaces the symbol's only
  // when it completed: interrupted or failing, the symbol is exactly as it
  // was.
  Result<RunStatus> warm(std::size_t index, std::size_t bars, std::span<const StridedColumn> inputs,
                         const std::function<bool()>& interrupted = {});

  // Every symbol's state, symbol after symbol, each in FeaturePipeline's
  // layout (core/state_io.h). Fails, naming the type, when a feature type
  // cannot be saved.
  Result<std::string> save() const;
  // Replaces every symbol by one restored from `state` (as save() wrote
  // it, for a universe of the same pipeline): the symbols are built and
  // restored aside and swapped in only when every byte read cleanly and
  // none is left over; otherwise refused with InvalidInput naming the
  // problem and the universe is unchanged. The count comes from the state.
  Result<void> load(std::span<const unsigned char> state);

 private:
  // One feature of the plan: its lane block, the value slots it reads (as
  // many as it is handed) and the slots its outputs go to.
  struct Node {
    std::unique_ptr<LaneBlock> block;
    std::vector<std::size_t> reads;
    std::vector<std::size_t> writes;
  };
  // Where step k of the plan runs: a node and the part of its block.
  struct Place {
    std::size_t node;
    std::size_t part;
  };

  // Room for `lanes` symbols (fresh beyond size()). May throw
  // std::bad_alloc; then the symbols are as they were.
  void reserve(std::size_t lanes);
  double* values(std::size_t slot) { return values_.data() + slot * room_; }
  std::uint8_t* valid(std::size_t slot) { return valid_.data() + slot * room_; }

  FeaturePipeline prototype_;
  std::vector<Node> nodes_;
  std::vector<Place> places_;  // one per step of the plan
  std::size_t inputs_;
  std::size_t outputs_;
  std::size_t slots_;
  std::size_t used_ = 0;
  std::size_t room_ = 0;  // lanes of every column, a whole number of blocks
  // Value slot s of every lane (the pipeline's slot table, one column per
  // slot; slot 0 always missing) and which lanes have a bar this call.
  std::vector<double> values_;
  std::vector<std::uint8_t> valid_;
  std::vector<std::uint8_t> active_;
  std::vector<LaneIn> in_;
  std::vector<LaneOut> out_;
  std::vector<StridedColumn> columns_;  // a table's columns, one per input column
};

}  // namespace sarvek
