#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling ordinary-least-squares regression of y (second input) on x (first
// input) over the last `window` bars: slope and R². Recomputed from the
// buffered values on every bar through the shared regression routine.
class LinearSlope final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<LinearSlope> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    io(pairs_);
  }
  std::size_t values_read() const override { return 2; }
  void reserve_columns(std::size_t bars) override { pairs_.reserve(bars); }

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  LinearSlope(Names inputs, std::size_t window, Names outputs);

  // (x, y) of the last `window` bars; a bar with either missing is a
  // missing entry.
  StagedWindow<2> pairs_;
};

}  // namespace sarvek
