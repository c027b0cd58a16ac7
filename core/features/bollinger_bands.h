#pragma once

#include "core/features/spread_window.h"

namespace sarvek {

// Bollinger bands over the last `window` values of the first input column:
// the mean, and the mean plus and minus `k` standard deviations (`ddof`
// delta degrees of freedom).
class BollingerBands final : public SpreadFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<BollingerBands> create(Names inputs, std::size_t window, Names outputs, double k, std::size_t ddof);

  std::unique_ptr<Feature> fresh() const override;
  double k() const { return k_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  BollingerBands(Names inputs, std::size_t window, Names outputs, double k, std::size_t ddof)
      : SpreadFeature(std::move(inputs), window, std::move(outputs), ddof), k_(k) {}

  double k_;
};

}  // namespace sarvek
