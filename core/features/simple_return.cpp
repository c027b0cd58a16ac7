#include "core/features/simple_return.h"

namespace sarvek {

Value SimpleReturn::value_of(const Value& then, const Value& now) {
  if (!then || !now || !usable(*then, *now)) return kMissing;
  return formula(*then, *now);
}

template class LookbackReturn<SimpleReturn>;

}  // namespace sarvek
