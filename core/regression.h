#pragma once

#include <cstddef>

#include "core/lanes.h"
#include "core/value.h"

namespace sarvek {

// Slope and R² of an ordinary-least-squares regression of y on x.
struct Regression {
  Value slope;
  Value r2;
};

// Regresses y on x over n points, given as accessors x(i), y(i) returning
// values, i = 0 the oldest: one window, the reference the tests hold the
// rolling LinearSlope and the forward FutureLinearSlope to. All three run
// lanes::regress_lanes (the two column paths through the regression column
// kernel), so their arithmetic is the same to the last bit:
//   pass 1, oldest to newest: any missing x or y gives [missing, missing];
//           otherwise Sx and Sy from 0.0;
//   mx = Sx / n, my = Sy / n;
//   pass 2: Sxx += dx*dx, Syy += dy*dy, Sxy += dx*dy;
//   Sxx == 0 gives [missing, missing] (a NaN Sxx goes on);
//   slope = Sxy / Sxx; R² = (Sxy*Sxy) / (Sxx*Syy) when Syy != 0, else missing.
// Present NaN and infinite values run through the arithmetic as numbers.
template <class X, class Y>
Regression regress(std::size_t n, X&& x, Y&& y) {
  for (std::size_t i = 0; i < n; ++i)
    if (!x(i) || !y(i)) return {kMissing, kMissing};
  const auto fit = lanes::regress_lanes<double>(
      n, [&](std::size_t i) { return *x(i); }, [&](std::size_t i) { return *y(i); });
  if (!fit.has_slope) return {kMissing, kMissing};
  return {fit.slope, fit.has_r2 ? Value(fit.r2) : kMissing};
}

}  // namespace sarvek
