#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Pearson correlation of the first two input columns (x, y) over the last
// `window` bars, recomputed from the window on every bar; missing where
// either column is flat over the window.
class RollingCorrelation final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<RollingCorrelation> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override { buffer_.clear(); }
  void state(StateIO& io) override {
    io(buffer_);
  }
  std::size_t values_read() const override { return 2; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  RollingCorrelation(Names inputs, std::size_t window, Names outputs);

  StagedWindow<2> buffer_;
};

}  // namespace sarvek
