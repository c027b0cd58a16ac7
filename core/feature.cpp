#include "core/feature.h"

#include <stdexcept>

namespace sarvek {

std::string Feature::short_bar_message(std::size_t got) const {
  const std::size_t need = values_read();
  return "values must hold at least " + std::to_string(need) + (need == 1 ? " value" : " values") +
         ", got " + std::to_string(got);
}

void fresh_invariant_broken() {
  throw std::logic_error("fresh: config was already validated at construction");
}

}  // namespace sarvek
