#include "core/features/simple_return.h"

namespace sarvek {

Value SimpleReturn::value_of(const Value& then, const Value& now) {
  // IEEE comparison: a NaN then is not > 0 and gives missing.
  if (!then || !now || !(*then > 0.0)) return kMissing;
  return (*now - *then) / *then;
}

template class LookbackReturn<SimpleReturn>;

}  // namespace sarvek
