#pragma once

#include <string>

#include "core/target.h"

namespace sarvek {

struct TargetDescription;

// Realised volatility of the next `horizon` close-to-close log returns: the
// sample standard deviation of ln(c[i + 1] / c[i]) .. ln(c[i + h] / c[i + h - 1]).
// Reads one column and names its one output itself:
// "<input>_future_ctc_vol_<horizon>".
class FutureCTCVolatility final : public ConfiguredTarget {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const TargetDescription& description();

  static Result<FutureCTCVolatility> create(std::string input, std::size_t horizon);

  const std::string& input() const { return inputs_.front(); }

  // One column, as long as the close column.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;
  Result<std::size_t> label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                    std::span<const ColumnOut> out) const override;
  // Every label reads its whole horizon.
  std::size_t work_per_bar() const override { return horizon_ == 0 ? 1 : horizon_; }

 private:
  FutureCTCVolatility(std::string input, std::size_t horizon);
};

}  // namespace sarvek
