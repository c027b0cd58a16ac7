#include "core/features/range_window.h"

namespace sarvek {

RangeVolatilityFeature::RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), terms_(window) {}

std::optional<double> RangeVolatilityFeature::push_term(const Value& term) {
  terms_.push_back(term);
  if (!terms_.full()) return std::nullopt;
  double sum = 0.0;
  const bool complete = terms_.visit([&](const Value& v) {
    if (!v) return false;
    sum += *v;
    return true;
  });
  if (!complete) return std::nullopt;
  return sum / static_cast<double>(window_);
}

}  // namespace sarvek
