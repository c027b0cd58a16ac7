#include "core/features/simple_return.h"

#include "core/catalog.h"

namespace sarvek {

Value SimpleReturn::value_of(const Value& then, const Value& now) {
  if (!then || !now || !usable(*then, *now)) return kMissing;
  return formula(*then, *now);
}

template class LookbackReturn<SimpleReturn>;

const FeatureDescription& SimpleReturn::description() {
  static const FeatureDescription d{
      .name = "SimpleReturn",
      .visibility = Visibility::module,
      .doc = "Simple (arithmetic) return over a configurable lookback window.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = memory_window,
      .make = make_windowed<SimpleReturn>,
      .is = is_a<SimpleReturn, Feature>,
      .arguments_of = windowed_arguments<SimpleReturn>,
  };
  return d;
}

}  // namespace sarvek
