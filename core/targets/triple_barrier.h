#pragma once

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// Which barrier the price touches first within `horizon` bars: walking
// j = 1 .. h, the return r = (p[i + j] - p[i]) / p[i] (FutureReturn's
// arithmetic) touches the upper barrier when r >= upper (label +1) or the
// lower one when r <= -lower (label -1); neither within h bars gives 0.
// The second output is the bar count j of the touch (h for 0). With a
// second input column `vol`, the barriers of bar i are upper * vol[i] and
// lower * vol[i].
class TripleBarrier final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<TripleBarrier> create(Names inputs, std::size_t horizon, Names outputs, double upper,
                                      double lower);

  double upper() const { return upper_; }
  double lower() const { return lower_; }
  // Whether the barriers are scaled by a volatility column (a second input).
  bool scaled() const { return inputs_.size() >= 2; }

  // Two columns, label then bars, each as long as the price column.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;
  // A label may walk its whole horizon.
  std::size_t work_per_bar() const override { return horizon_ == 0 ? 1 : horizon_; }

 private:
  TripleBarrier(Names inputs, std::size_t horizon, Names outputs, double upper, double lower)
      : ConfiguredTarget(std::move(inputs), horizon, std::move(outputs)), upper_(upper), lower_(lower) {}

  double upper_;
  double lower_;
};

}  // namespace sarvek
