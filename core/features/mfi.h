#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Money flow index from high, low, close and volume over the last `window`
// money flows. A flow compares a bar's typical price with the previous
// bar's, so the window holds window + 1 bars of typical price and volume
// and is recomputed from them on every bar.
class Mfi final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Mfi> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override { bars_.clear(); }
  void state(StateIO& io) override {
    io(bars_);
  }
  std::size_t values_read() const override { return 4; }
  void reserve_columns(std::size_t bars) override { bars_.reserve(bars); }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Mfi(Names inputs, std::size_t window, Names outputs);

  StagedWindow<2> bars_;  // typical price, volume
};

}  // namespace sarvek
