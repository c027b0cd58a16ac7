#pragma once

#include "core/features/lookback_return.h"

namespace sarvek {

// Log return ln(now / then) over a lookback of `window` bars.
class LogReturn final : public LookbackReturn<LogReturn> {
 public:
  // A number when both ends are numbers and both are > 0.
  static Value value_of(const Value& then, const Value& now);

 private:
  friend class LookbackReturn<LogReturn>;
  using LookbackReturn::LookbackReturn;
};

extern template class LookbackReturn<LogReturn>;

}  // namespace sarvek
