#pragma once

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// The sign of the move over the next `horizon` bars beyond a dead band:
// with r = (p[i + h] - p[i]) / p[i], exactly FutureReturn's value, the label
// is +1 when r > threshold, -1 when r < -threshold, else 0; a NaN r gives a
// NaN label rather than a 0 it never earned.
class FutureDirection final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<FutureDirection> create(Names inputs, std::size_t horizon, Names outputs, double threshold);

  double threshold() const { return threshold_; }

  // One column, as long as the price column, for the first output name.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;

 private:
  FutureDirection(Names inputs, std::size_t horizon, Names outputs, double threshold)
      : ConfiguredTarget(std::move(inputs), horizon, std::move(outputs)), threshold_(threshold) {}

  double threshold_;
};

}  // namespace sarvek
