#pragma once

#include "core/features/lookback_return.h"

namespace sarvek {

struct FeatureDescription;

// Simple return (now - then) / then over a lookback of `window` bars.
class SimpleReturn final : public LookbackReturn<SimpleReturn> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  // A number when both ends are numbers and then > 0; now is unrestricted.
  // IEEE comparison: a NaN then is not > 0 and gives missing.
  static bool usable(double then, double) { return then > 0.0; }
  static double formula(double then, double now) { return (now - then) / then; }
  static Value value_of(const Value& then, const Value& now);

 private:
  friend class LookbackReturn<SimpleReturn>;
  using LookbackReturn::LookbackReturn;
};

extern template class LookbackReturn<SimpleReturn>;

}  // namespace sarvek
