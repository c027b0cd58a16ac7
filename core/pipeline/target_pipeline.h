#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/pipeline/strided.h"
#include "core/target.h"

namespace sarvek {

// Labels a whole dataset with several targets at once. Targets read only
// raw input columns, never each other's outputs, so they run in the
// caller's order. Built once and never changed afterwards.
class TargetPipeline {
 public:
  using Targets = std::vector<std::unique_ptr<Target>>;

  // Checks duplicate outputs first, then input names that are not among
  // `input_columns`; the first problem found is returned.
  static Result<TargetPipeline> create(Targets targets, Names input_columns);

  // `data[i]` is the column named input_names()[i]; extra columns are
  // ignored. Returns exactly one column per output name, in output_names()
  // order. Refused, before any target computes, when `data` holds fewer
  // columns than there are input columns or when a target refuses its
  // columns.
  Result<std::vector<Column>> run_research(std::span<const std::span<const Value>> data) const;

  // The same, asking `interrupted` between blocks of bars. When it returns
  // true the run stops with RunStatus::interrupted and `out` holds partial
  // labels; otherwise `out` receives what run_research returns.
  Result<RunStatus> run_research(std::span<const std::span<const Value>> data, std::vector<Column>& out,
                                 const std::function<bool()>& interrupted) const;

  // The same over whole columns of doubles: inputs[j] is input column j,
  // `bars` values each, NaN marking a missing value; writes every output
  // name's label for every bar into outputs[k], NaN for missing (a target
  // that computes fewer columns than it names leaves the others NaN).
  // Refused, before anything is written, when `inputs` or `outputs` hold
  // fewer columns than there are input columns / output names.
  // `interrupted`, when given, is asked between blocks of bars; when it
  // returns true the run stops with RunStatus::interrupted (outputs then
  // hold partial labels).
  Result<RunStatus> run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                std::span<const StridedOutput> outputs,
                                const std::function<bool()>& interrupted = {}, RunThreads threads = {}) const;

  // The pieces run_columns cuts a run of `bars` bars into with `threads`,
  // as many as threads allow with at least the piece's bars in each.
  std::size_t pieces(std::size_t bars, RunThreads threads) const;

  // The largest forward period among the targets, 0 when there are none.
  std::size_t forward_period() const;
  Names input_names() const { return input_columns_; }
  Names output_names() const { return output_names_; }
  std::size_t len() const { return targets_.size(); }
  // The i-th target, in the caller's order.
  const Target& target(std::size_t i) const { return *targets_[i].target; }

 private:
  // A target with the data positions of its inputs, in its input order.
  struct Slot {
    std::unique_ptr<Target> target;
    std::vector<std::size_t> positions;
    std::size_t outputs;
  };

  // Every target over the whole columns at once; the columns may differ in
  // length.
  Result<std::vector<Column>> run_whole(std::span<const std::span<const Value>> data) const;

  // Labels bars [0, bars) a block at a time, so a long run can stop between
  // blocks. A label depends only on its own bar and the forward_period()
  // bars after it, so block [a, b) computed from the inputs over
  // [a, b + forward_period()) gives exactly the labels of a whole-column
  // run. `source.load(a, e)` is called once per block before
  // `source.column(j)` gives data column j from a on (values + validity);
  // `write(k, a, labels, count)` takes output k's labels for
  // [a, a + count); a
  // target computing no column at all is reported once by `empty(k)` for
  // each of its outputs. Only the labels of bars [first, last) are made.
  template <class Source, class Write, class Empty>
  Result<RunStatus> run_blocks(std::size_t bars, Source& source, Write&& write, Empty&& empty,
                               const std::function<bool()>& interrupted, std::size_t first = 0,
                               std::size_t last = static_cast<std::size_t>(-1)) const;

  TargetPipeline(std::vector<Slot> targets, Names input_columns, Names output_names)
      : targets_(std::move(targets)),
        input_columns_(std::move(input_columns)),
        output_names_(std::move(output_names)) {}

  std::vector<Slot> targets_;
  Names input_columns_;
  Names output_names_;
};

}  // namespace sarvek
