#pragma once

#include <cmath>

#include "core/features/lookback_return.h"

namespace sarvek {

struct FeatureDescription;

// Log return ln(now / then) over a lookback of `window` bars.
class LogReturn final : public LookbackReturn<LogReturn> {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  // A number when both ends are numbers and both are > 0 (IEEE
  // comparisons: a NaN at either end fails them). One division, then one
  // logarithm.
  static bool usable(double then, double now) { return then > 0.0 && now > 0.0; }
  static double formula(double then, double now) { return std::log(now / then); }
  static Value value_of(const Value& then, const Value& now);

 private:
  friend class LookbackReturn<LogReturn>;
  using LookbackReturn::LookbackReturn;
};

extern template class LookbackReturn<LogReturn>;

}  // namespace sarvek
