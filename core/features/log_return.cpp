#include "core/features/log_return.h"

#include <cmath>

namespace sarvek {

Value LogReturn::value_of(const Value& then, const Value& now) {
  if (!then || !now || !usable(*then, *now)) return kMissing;
  return formula(*then, *now);
}

template class LookbackReturn<LogReturn>;

}  // namespace sarvek
