#include "core/features/log_return.h"

#include <cmath>

namespace sarvek {

Value LogReturn::value_of(const Value& then, const Value& now) {
  // IEEE comparisons: a NaN at either end is not > 0 and gives missing.
  if (!then || !now || !(*then > 0.0) || !(*now > 0.0)) return kMissing;
  return std::log(*now / *then);
}

template class LookbackReturn<LogReturn>;

}  // namespace sarvek
