#pragma once

#include <cstddef>

#include "core/value.h"

namespace sarvek {

// Slope and R² of an ordinary-least-squares regression of y on x.
struct Regression {
  Value slope;
  Value r2;
};

// Regresses y on x over n points, given as accessors x(i), y(i) returning
// values, i = 0 the oldest. The rolling feature and the forward target both
// use this one routine, so their arithmetic is the same to the last bit:
//   pass 1, oldest to newest: any missing x or y gives [missing, missing];
//           otherwise Sx and Sy from 0.0;
//   mx = Sx / n, my = Sy / n;
//   pass 2: Sxx += dx*dx, Syy += dy*dy, Sxy += dx*dy;
//   Sxx == 0 gives [missing, missing] (a NaN Sxx goes on);
//   slope = Sxy / Sxx; R² = (Sxy*Sxy) / (Sxx*Syy) when Syy != 0, else missing.
// Present NaN and infinite values run through the arithmetic as numbers.
template <class X, class Y>
Regression regress(std::size_t n, X&& x, Y&& y) {
  double sx = 0.0;
  double sy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Value xi = x(i);
    const Value yi = y(i);
    if (!xi || !yi) return {kMissing, kMissing};
    sx += *xi;
    sy += *yi;
  }
  const double count = static_cast<double>(n);
  const double mx = sx / count;
  const double my = sy / count;
  double sxx = 0.0;
  double syy = 0.0;
  double sxy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = *x(i) - mx;
    const double dy = *y(i) - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  if (sxx == 0.0) return {kMissing, kMissing};
  const double slope = sxy / sxx;
  if (syy != 0.0) return {slope, (sxy * sxy) / (sxx * syy)};
  return {slope, kMissing};
}

}  // namespace sarvek
