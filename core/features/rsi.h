#pragma once

#include "core/features/wilder.h"

namespace sarvek {

// Wilder's relative strength index of the first input column: the average
// gain and the average loss of the price changes, Wilder-smoothed after a
// seed of the plain means of the first `window` changes, as
// 100 - 100 / (1 + gain / loss).
class Rsi final : public WilderFeature<Rsi, 1, 2> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();
  // What the inputs must be.
  static constexpr const char* kInputsConstraint = "must not be empty";

 protected:
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  friend WilderFeature<Rsi, 1, 2>;
  Rsi(Names inputs, std::size_t window, Names outputs)
      : WilderFeature(std::move(inputs), window, std::move(outputs)) {}

  // One bar: its value, or missing.
  Value advance(bool present, double x);
};

}  // namespace sarvek
