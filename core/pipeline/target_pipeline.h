#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/pipeline/feature_pipeline.h"
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

  // The same over whole columns of doubles: inputs[j] is input column j,
  // `bars` values each, NaN marking a missing value; writes every output
  // name's label for every bar into outputs[k], NaN for missing. Refused,
  // before anything is written, when `inputs` or `outputs` hold fewer
  // columns than there are input columns / output names.
  Result<void> run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                           std::span<const StridedOutput> outputs) const;

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

  TargetPipeline(std::vector<Slot> targets, Names input_columns, Names output_names)
      : targets_(std::move(targets)),
        input_columns_(std::move(input_columns)),
        output_names_(std::move(output_names)) {}

  std::vector<Slot> targets_;
  Names input_columns_;
  Names output_names_;
};

}  // namespace sarvek
