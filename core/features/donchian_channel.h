#pragma once

#include <vector>

#include "core/features/window_feature.h"

namespace sarvek {

// The Donchian channel over the last `window` bars: the highest of the
// first input column (high), the lowest of the second (low) and their
// midpoint. The extremes are RollingMax's and RollingMin's, exact.
class DonchianChannel final : public WindowFeature<DonchianChannel, 2> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<DonchianChannel, 2>;
  DonchianChannel(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  static constexpr std::size_t kProduces = 3;  // upper, lower, middle
  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
  Values value();
  void column(const StagedRun<2>& r, std::span<const ColumnOut> out);

  std::vector<double> room_;  // scratch of column runs
};

}  // namespace sarvek
