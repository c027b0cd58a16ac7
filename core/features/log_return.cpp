#include "core/features/log_return.h"

#include "core/catalog.h"

#include <cmath>

namespace sarvek {

Value LogReturn::value_of(const Value& then, const Value& now) {
  if (!then || !now || !usable(*then, *now)) return kMissing;
  return formula(*then, *now);
}

template class LookbackReturn<LogReturn>;

const FeatureDescription& LogReturn::description() {
  static const FeatureDescription d{
      .name = "LogReturn",
      .visibility = Visibility::module,
      .doc = "Log return over a configurable lookback window.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window,
      .make = make_windowed<LogReturn>,
      .is = is_a<LogReturn, Feature>,
      .arguments_of = windowed_arguments<LogReturn>,
  };
  return d;
}

}  // namespace sarvek
