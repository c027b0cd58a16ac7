#pragma once

#include "core/value.h"

namespace sarvek {

// A bar's typical price ((high + low) + close) / 3.0, missing when any of
// the three is missing. Cci and Mfi stage it the same way in update() and
// in column runs.
inline Value typical_price(const Value& high, const Value& low, const Value& close) {
  if (!high || !low || !close) return kMissing;
  return ((*high + *low) + *close) / 3.0;
}

}  // namespace sarvek
