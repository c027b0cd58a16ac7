#pragma once

#include "core/features/window_feature.h"

namespace sarvek {

// Pearson correlation of the first two input columns (x, y) over the last
// `window` bars, recomputed from the window on every bar; missing where
// either column is flat over the window.
class RollingCorrelation final : public WindowFeature<RollingCorrelation, 2> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<RollingCorrelation, 2>;
  RollingCorrelation(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
  Values value();
  void column(const StagedRun<2>& r, std::span<const ColumnOut> out);
};

}  // namespace sarvek
