#pragma once

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// The best and worst simple return over the next `horizon` bars: over
// j = 1 .. h, the largest and smallest of (p[i + j] - p[i]) / p[i], the
// arithmetic of FutureReturn. Division by a positive p[i] and subtraction
// of p[i] are correctly rounded, hence monotone, so the largest return is
// the return of the largest price, bit for bit: the extremes of the prices
// are found first and turned into one return each.
class FutureExtremes final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<FutureExtremes> create(Names inputs, std::size_t horizon, Names outputs);

  // Two columns, max_ret then min_ret, each as long as the price column.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;
  // A label costs a few comparisons whatever the horizon: the default 1.

 private:
  FutureExtremes(Names inputs, std::size_t horizon, Names outputs)
      : ConfiguredTarget(std::move(inputs), horizon, std::move(outputs)) {}
};

}  // namespace sarvek
