#pragma once

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// Simple return from each bar to the bar `horizon` bars later:
// (p[i + h] - p[i]) / p[i] over the first input column. The last `horizon`
// labels are missing, their future lying beyond the data.
class FutureReturn final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<FutureReturn> create(Names inputs, std::size_t horizon, Names outputs);

  // One column, as long as the price column, for the first output name.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;

 private:
  FutureReturn(Names inputs, std::size_t horizon, Names outputs)
      : ConfiguredTarget(std::move(inputs), horizon, std::move(outputs)) {}
};

}  // namespace sarvek
