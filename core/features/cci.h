#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Commodity channel index from high, low and close: the typical price's
// distance from its window mean in units of `constant` times the window's
// mean absolute deviation, recomputed from the window on every bar.
class Cci final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Cci> create(Names inputs, std::size_t window, Names outputs, double constant);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override { terms_.clear(); }
  void state(StateIO& io) override {
    io(terms_);
  }
  std::size_t values_read() const override { return 3; }
  void reserve_columns(std::size_t bars) override { terms_.reserve(bars); }
  double constant() const { return constant_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Cci(Names inputs, std::size_t window, Names outputs, double constant);

  StagedWindow<1> terms_;  // typical prices
  double constant_;
};

}  // namespace sarvek
