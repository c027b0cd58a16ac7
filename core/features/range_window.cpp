#include "core/features/range_window.h"

namespace sarvek {

RangeVolatilityFeature::RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), terms_(window) {}

bool RangeVolatilityFeature::push_term(const Value& term) {
  push_value(terms_, term);
  return terms_.complete();
}

bool RangeVolatilityFeature::push_term(BarTerm term) {
  terms_.push(term.ok, term.ok ? term.value : 0.0);
  return terms_.complete();
}

}  // namespace sarvek
