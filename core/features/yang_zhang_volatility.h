#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// Rolling Yang-Zhang volatility from high, low, open and close over the
// last `window` bars, per bar, not annualised: the sample variance of the
// overnight returns ln(O / previous C), k times the sample variance of the
// open-to-close returns ln(C / O) and 1 - k times the mean Rogers-Satchell
// term, k = 0.34 / (1.34 + (n + 1) / (n - 1)). A bar's terms need the
// previous bar's close, so a window reaches one bar further back than its
// `window` bars. Reads the first four inputs as high, low, open and close
// (the order RogersSatchellVolatility reads). Recomputed from the window on
// every bar, so results never drift.
class YangZhangVolatility final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<YangZhangVolatility> create(Names inputs, std::size_t window, Names outputs);

  // Bar 0 has no previous close, so the first full window ends at bar `window`.
  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    io(terms_);
    io(prev_close_);
    io(has_prev_close_);
  }
  std::size_t values_read() const override { return 4; }
  void reserve_columns(std::size_t bars) override { terms_.reserve(bars); }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  YangZhangVolatility(Names inputs, std::size_t window, Names outputs);

  // Per bar: overnight, open-to-close and Rogers-Satchell terms.
  StagedWindow<3> terms_;
  double k_;
  double one_minus_k_;
  // The previous bar's close, when it was present.
  double prev_close_ = 0.0;
  bool has_prev_close_ = false;
};

}  // namespace sarvek
