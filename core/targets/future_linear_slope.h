#pragma once

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// Ordinary-least-squares regression of y on x over the `horizon` bars that
// start at each bar and run forward: slope and R², with the arithmetic of
// the rolling LinearSlope (the shared regress routine). The last
// `horizon` - 1 labels are missing, since the window includes its own bar.
class FutureLinearSlope final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<FutureLinearSlope> create(Names inputs, std::size_t horizon, Names outputs);

  // Two columns, slope then R², each as long as the x column. Refused when
  // fewer than two columns are given, or when y ends before a window that
  // fits inside x.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;
  // Every label reads its whole horizon.
  std::size_t work_per_bar() const override { return horizon_ == 0 ? 1 : horizon_; }

 private:
  FutureLinearSlope(Names inputs, std::size_t horizon, Names outputs)
      : ConfiguredTarget(std::move(inputs), horizon, std::move(outputs)) {}
};

}  // namespace sarvek
