#pragma once

#include <string>

#include "core/target.h"

namespace sarvek {

// Realised volatility of the next `horizon` close-to-close log returns: the
// sample standard deviation of ln(c[i + 1] / c[i]) .. ln(c[i + h] / c[i + h - 1]).
// Reads one column and names its one output itself:
// "<input>_future_ctc_vol_<horizon>".
class FutureCTCVolatility final : public Target {
 public:
  static Result<FutureCTCVolatility> create(std::string input, std::size_t horizon);

  Names input_names() const override { return {input_}; }
  Names output_names() const override { return {output_}; }
  std::size_t forward_period() const override { return horizon_; }
  const std::string& input() const { return input_; }
  std::size_t horizon() const { return horizon_; }

  // One column, as long as the close column.
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override;

 private:
  FutureCTCVolatility(std::string input, std::size_t horizon);

  std::string input_;
  std::string output_;
  std::size_t horizon_;
};

}  // namespace sarvek
