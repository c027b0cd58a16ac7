#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Kaufman's adaptive moving average of the first input column. On every bar
// the efficiency ratio of the last `window` price changes sets the
// smoothing constant between the fast one (trending) and the slow one
// (noisy). The ratio is recomputed from the window every bar.
class Kama final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Kama> create(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow);

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    io(current_);
    io(buffer_);
  }
  std::size_t values_read() const override { return 1; }

  std::size_t fast() const { return fast_; }
  std::size_t slow() const { return slow_; }
  double fast_sc() const { return fast_sc_; }
  double slow_sc() const { return slow_sc_; }
  // One step of the average for a complete window: `volatility` its path
  // length, `newest` and `oldest` its last and first prices, `prev` the
  // previous average (the second-to-last price when there is none).
  static double next(double volatility, double newest, double oldest, double prev, double fast_sc, double slow_sc);
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Kama(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow);

  // The recurrence for a complete window: `volatility` its path length,
  // `newest`, `oldest` and `before` its last, first and second-to-last
  // prices.
  double advance(double volatility, double newest, double oldest, double before);

  std::size_t fast_;
  std::size_t slow_;
  double fast_sc_;
  double slow_sc_;
  Value current_;
  // The last window + 1 prices, which span `window` changes.
  StagedWindow<1> buffer_;
};

}  // namespace sarvek
