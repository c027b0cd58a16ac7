#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/feature.h"
#include "core/pipeline/strided.h"
#include "core/value.h"

namespace sarvek {

// A dataset stored flat: bar i is values[offsets[i] .. offsets[i + 1]).
// `offsets` holds one entry more than there are bars and starts at 0.
struct BarsView {
  std::span<const Value> values;
  std::span<const std::size_t> offsets;

  std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const Value> bar(std::size_t i) const { return values.subspan(offsets[i], offsets[i + 1] - offsets[i]); }
};

// The results of a research run, stored flat: `width` values per bar, bar
// after bar.
struct ResearchResult {
  std::size_t width = 0;
  std::size_t bars = 0;
  std::vector<Value> values;

  std::span<const Value> bar(std::size_t i) const { return {values.data() + i * width, width}; }
};

// Runs features together over bars of named input columns. The features are
// ordered once, at construction, so that every producer of a column runs
// before its readers; every bar then follows that order.
//
// Names are resolved to slots of a value table at construction, so a bar
// does no string work and no allocation. Per bar:
//   - each input column's value comes from its (last) position in the bar;
//   - a feature reads, for each of its input names, the output of the
//     feature producing that name on this bar if there is one (it ran
//     earlier), else the input column of that name, else missing; a feature
//     reading its own output name reads the input column or missing, never
//     its own earlier output;
//   - a feature's outputs replace any input column of the same name for the
//     features after it;
//   - the bar's result holds exactly one value per output name, in
//     execution order. Names beyond the values a feature produces get a
//     missing value, which is also what their readers see, so no value ever
//     lands under another feature's name.
class FeaturePipeline {
 public:
  // Resolves the order, then checks that every name read and not produced
  // is an input column (MissingInputColumn lists the others in order of
  // first reading).
  static Result<FeaturePipeline> create(std::vector<std::unique_ptr<Feature>> features, Names input_columns);

  FeaturePipeline(FeaturePipeline&&) noexcept = default;
  FeaturePipeline& operator=(FeaturePipeline&&) noexcept = default;

  // One bar, one value per input column in input_names() order; entries
  // beyond those are ignored. A shorter bar is refused with InvalidInput
  // before any feature runs. The result, one value per output name, is a
  // view into the pipeline, valid until the next call that changes it.
  Result<std::span<const Value>> update(std::span<const Value> values);

  // Resets every feature, then runs the bars in order as update does; the
  // features are left after the last bar. Every bar is checked before
  // anything changes: if one is shorter than the input columns the call
  // fails with InvalidInput and the pipeline is exactly as it was.
  Result<ResearchResult> run_research(BarsView data);

  // Research over whole columns: inputs[j] is input column j (input_names()
  // order), `bars` values each, NaN marking a missing value. Writes every
  // output name's value for every bar into outputs[k] (output_names()
  // order), NaN for missing, and marks each entry present or missing where
  // the output column asks for it. With `reset_first` the features are reset
  // before the first bar, as run_research does; otherwise the run continues
  // from the features' current state, so a long history may be fed in
  // pieces with the same results as one run. The features are left after
  // the last bar, exactly as update() bar by bar would leave them.
  //
  // Refused with InvalidInput, before anything changes, when `inputs` or
  // `outputs` hold fewer columns than there are input columns / output
  // names. `interrupted`, when given, is asked between blocks of bars (each
  // a bounded amount of work, so also often for long windows); when
  // it returns true the run stops, every feature is reset and the result is
  // RunStatus::interrupted (outputs then hold partial results).
  //
  // `threads` spreads the run over threads (see RunThreads), with the same
  // results and the same final state as one thread. `interrupted` is only
  // ever called from the calling thread; the other threads stop at their
  // next block once it returns true. The outputs' rows are written by the
  // thread computing them, each row by one thread.
  Result<RunStatus> run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                std::span<const StridedOutput> outputs, bool reset_first,
                                const std::function<bool()>& interrupted = {}, RunThreads threads = {});

  // The pieces run_columns cuts a run of `bars` bars into with `threads`
  // when every chain has a bounded history: as many as threads allow with
  // at least the piece's bars in each; 1 when some chain is unbounded
  // (run_columns then runs the recursions whole beside pieces of the rest).
  std::size_t pieces(std::size_t bars, RunThreads threads) const;
  // Bars of history a piece needs to give exactly one run's results (the
  // largest chain memory); empty when some chain is unbounded.
  std::optional<std::size_t> history() const;

  // Ok when bar `index` of a dataset, holding `count` values, has one for
  // every input column; else the InvalidInput run_research refuses that
  // bar with (for callers that read a dataset in another form).
  Result<void> check_data_bar(std::size_t index, std::size_t count) const;

  // The features in the order the caller passed them (their position in the
  // `features` argument of create), for callers that describe the pipeline.
  std::vector<const Feature*> features_in_caller_order() const;

  // Every feature back to its just-built state, in execution order.
  void reset();

  // A pipeline of the same configuration in its just-built state, every
  // feature made afresh from its own configuration (Feature::fresh); the
  // receiver is untouched. May throw std::bad_alloc.
  FeaturePipeline fresh() const;

  // Saves or restores every feature's state (core/state_io.h): the feature
  // count, then each feature in execution order as its type's name and its
  // state. Restoring checks the count and names, so a state saved from
  // another pipeline is refused; on failure the pipeline may be partly
  // restored, so callers restore into a fresh() copy and keep it only when
  // io.failed() is false.
  void state(StateIO& io);

  // The largest warm-up period among the features (0 without features). It
  // does not add up along chains of features reading each other.
  std::size_t warm_up_period() const;
  Names input_names() const { return input_columns_; }
  Names output_names() const { return output_names_; }
  std::size_t len() const { return steps_.size(); }

 private:
  // Runs the same plan for many symbols at once.
  friend class Universe;

  // The state's layout (see state()), each feature's own state written by
  // `each(step index)`.
  void visit_state(StateIO& io, const std::function<void(std::size_t)>& each);

  // One feature in execution order, with its slot lists.
  struct Step {
    std::unique_ptr<Feature> feature;
    std::size_t in_begin;   // into read_slots_
    std::size_t in_end;
    std::size_t gather;     // values handed to update: max(inputs, values_read)
    std::size_t out_begin;  // first output slot; its outputs are contiguous
    std::size_t out_count;
    std::size_t caller_index;  // position in the caller's `features` list
  };
  struct Load {
    std::size_t slot;
    std::size_t position;
  };

  static constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

  FeaturePipeline() = default;
  void run_bar(std::span<const Value> values);
  // The column engine: blocks of bars, each feature in execution order
  // over the whole block. `load(begin, end, values, valid)` fills the
  // input-column slots for bars [begin, end) (values[slot], valid[slot]
  // point at the block's column of that slot); `store(begin, end, values,
  // valid)` takes the output slots 1 .. output count. Room is taken before
  // anything changes.
  template <class Fill, class Take>
  RunStatus run_engine(std::size_t bars, bool reset_first, Fill&& load, Take&& store,
                       const std::function<bool()>& interrupted);
  // The column engine's buffers for blocks of `block` bars, the features'
  // room included: every allocation of a run, made before it starts.
  struct Engine;
  Engine prepare_engine(std::size_t block);
  // Bars [from, to) through a prepared engine; only bars from `write_from`
  // on are handed to `store` (those before only bring the features up to
  // date).
  template <class Fill, class Take>
  RunStatus run_range(Engine& engine, std::size_t from, std::size_t write_from, std::size_t to, bool reset_first,
                      Fill& load, Take& store, const std::function<bool()>& interrupted);
  // run_columns over `n` > 1 pieces on as many threads.
  RunStatus run_pieces(std::size_t bars, std::size_t n, std::size_t history, bool reset_first,
                       std::span<const StridedColumn> inputs, std::span<const StridedOutput> outputs,
                       const std::function<bool()>& interrupted);
  // run_columns of a pipeline holding recursions over threads: the
  // recursions (with what they read) whole on the calling thread, the
  // features of bounded memory cut into pieces beside it. Empty when that
  // does not pay or cannot be arranged (the caller then runs on one thread).
  std::optional<RunStatus> run_mixed(std::size_t bars, std::span<const StridedColumn> inputs,
                                     std::span<const StridedOutput> outputs, bool reset_first,
                                     const std::function<bool()>& interrupted, RunThreads threads);
  // Bars [from, to) of whole columns through a prepared engine, the outputs
  // of bars from `write_from` on written to outputs[k] (output_names()
  // order).
  RunStatus run_columns_range(Engine& engine, std::size_t from, std::size_t write_from, std::size_t to,
                              bool reset_first, std::span<const StridedColumn> inputs,
                              std::span<const StridedOutput> outputs, const std::function<bool()>& interrupted);
  // A feature whose column runs go straight over a caller's columns
  // (Feature::run_direct): input position and output index.
  struct Direct {
    Feature* feature;
    std::size_t input;
    std::size_t output;
  };
  // One per step when every step can, else none.
  std::vector<Direct> direct_steps(std::span<const StridedColumn> inputs,
                                   std::span<const StridedOutput> outputs) const;
  // Bars per block of the column engine, from the features' work per bar.
  std::size_t block_bars() const;
  // InvalidInput when `values` is shorter than the input columns; `index`
  // names the bar of a dataset.
  Result<void> check_bar(std::span<const Value> values, const char* what, std::size_t index) const;
  Result<void> check_count(std::size_t count, const char* what, std::size_t index) const;

  std::vector<Step> steps_;
  Names output_names_;
  Names input_columns_;
  // Slot 0 is always missing; slots 1 .. output count hold the outputs in
  // execution order (so they are the bar's result); the input columns that
  // no feature produces follow.
  std::vector<Value> slots_;
  std::vector<Load> loads_;
  std::vector<std::size_t> read_slots_;
  std::vector<Value> gather_;
};

}  // namespace sarvek
