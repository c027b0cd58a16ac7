#pragma once

#include "core/target.h"

namespace sarvek {

// Simple return from each bar to the bar `horizon` bars later:
// (p[i + h] - p[i]) / p[i] over the first input column. The last `horizon`
// labels are missing, their future lying beyond the data.
class FutureReturn final : public Target {
 public:
  static Result<FutureReturn> create(Names inputs, std::size_t horizon, Names outputs);

  Names input_names() const override { return inputs_; }
  Names output_names() const override { return outputs_; }
  std::size_t forward_period() const override { return horizon_; }
  std::size_t horizon() const { return horizon_; }

  // One column, as long as the price column, for the first output name.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;

 private:
  FutureReturn(Names inputs, std::size_t horizon, Names outputs)
      : inputs_(std::move(inputs)), outputs_(std::move(outputs)), horizon_(horizon) {}

  Names inputs_;
  Names outputs_;
  std::size_t horizon_;
};

}  // namespace sarvek
