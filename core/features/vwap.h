#pragma once

#include "core/features/window_feature.h"

namespace sarvek {

// Volume-weighted average price over the last `window` bars: sum(price *
// volume) / sum(volume), recomputed from the window on every bar; missing
// where the window's volume sums to zero. Reads price, then volume.
class Vwap final : public WindowFeature<Vwap, 2> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

 private:
  friend WindowFeature<Vwap, 2>;
  Vwap(Names inputs, std::size_t window, Names outputs)
      : WindowFeature(std::move(inputs), window, std::move(outputs)) {}

  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs);
  Values value();
  void column(const StagedRun<2>& r, std::span<const ColumnOut> out);
};

}  // namespace sarvek
