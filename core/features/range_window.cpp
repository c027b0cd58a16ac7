#include "core/features/range_window.h"

#include "core/features/window_run.h"

namespace sarvek {

RangeVolatilityFeature::RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), terms_(window) {}

bool RangeVolatilityFeature::push_term(const Value& term) {
  push_value(terms_, term);
  return terms_.complete();
}

void RangeVolatilityFeature::finish(std::size_t bars, std::span<const ColumnOut> out) {
  terms_.commit(bars);
  fill_missing(out.subspan(1), bars);
}

}  // namespace sarvek
