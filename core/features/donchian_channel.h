#pragma once

#include <vector>

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// The Donchian channel over the last `window` bars: the highest of the
// first input column (high), the lowest of the second (low) and their
// midpoint. The extremes are RollingMax's and RollingMin's, exact.
class DonchianChannel final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<DonchianChannel> create(Names inputs, std::size_t window, Names outputs);

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
  DonchianChannel(Names inputs, std::size_t window, Names outputs);

  StagedWindow<2> buffer_;  // high, low
  std::vector<double> room_;  // scratch of column runs
};

}  // namespace sarvek
