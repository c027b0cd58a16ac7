#pragma once

#include "core/features/wilder.h"

namespace sarvek {

// Wilder's average true range. Reads the first three inputs as high, low and
// close; the true range of a bar is max(high - low, |high - previous close|,
// |low - previous close|), Wilder-smoothed after a seed of the plain mean of
// the first `window` true ranges.
class Atr final : public WilderFeature<Atr, 3, 1> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();
  // What the inputs must be.
  static constexpr const char* kInputsConstraint = "must contain high, low and close columns";

 protected:
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  friend WilderFeature<Atr, 3, 1>;
  Atr(Names inputs, std::size_t window, Names outputs)
      : WilderFeature(std::move(inputs), window, std::move(outputs)) {}

  // One bar: its value, or missing.
  Value advance(bool present, double high, double low, double close);
};

}  // namespace sarvek
