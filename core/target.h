#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/column.h"
#include "core/error.h"
#include "core/value.h"

namespace sarvek {

// A forward-looking label over a whole dataset. Targets keep no state:
// the same columns always give the same labels.
class Target {
 public:
  virtual ~Target() = default;

  virtual Names input_names() const = 0;
  virtual Names output_names() const = 0;
  // Bars at the end of a dataset whose labels are missing because their
  // future is not yet known.
  virtual std::size_t forward_period() const = 0;
  // About how many steps of arithmetic one label costs (1 when the cost
  // does not grow with the horizon); runs size their blocks by it.
  virtual std::size_t work_per_bar() const { return 1; }

  // columns[i] belongs to input_names()[i]. Returns the label columns, or
  // an InvalidInput error when the columns given are too few or too short
  // to read; nothing is read past the end of any column.
  virtual Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const = 0;

  // The same labels over the engine's columns (values + validity), which the
  // target pipeline runs on: in[j] belongs to input_names()[j] and holds
  // `n` entries; writes the labels of bars [0, labels) (labels <= n) to
  // out[k] for the columns the target computes, each label exactly
  // compute()'s over those n entries, and returns how many columns it
  // computed. Given one column per input name and per output name it never
  // fails; by default it goes through compute().
  virtual Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                            std::span<const ColumnOut> out) const;
};

// The configuration every target type carries: input and output column
// names and a horizon. Checked once by the type's validating constructor,
// never changed afterwards.
class ConfiguredTarget : public Target {
 public:
  Names input_names() const override { return inputs_; }
  Names output_names() const override { return outputs_; }
  std::size_t forward_period() const override { return horizon_; }
  std::size_t horizon() const { return horizon_; }

 protected:
  ConfiguredTarget(Names inputs, std::size_t horizon, Names outputs)
      : inputs_(std::move(inputs)), outputs_(std::move(outputs)), horizon_(horizon) {}

  Names inputs_;
  Names outputs_;
  std::size_t horizon_;
};

// compute() of a target whose arithmetic is its label_columns(): the first
// `n` entries of the first `reads` columns (a shorter column padded with
// missing entries) become engine columns, and the `produced` label columns
// come back as n values each. The caller has checked the columns.
Result<std::vector<Column>> compute_through_columns(const Target& target, std::size_t n,
                                                    std::span<const std::span<const Value>> columns,
                                                    std::size_t reads, std::size_t produced);

// The refusal of a compute call given fewer columns than the target reads.
inline std::unexpected<CoreError> too_few_columns(std::size_t need, std::size_t got) {
  return invalid_input("columns must hold at least " + std::to_string(need) +
                       (need == 1 ? " column" : " columns") + ", got " + std::to_string(got));
}

}  // namespace sarvek
