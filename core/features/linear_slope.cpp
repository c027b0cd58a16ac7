#include "core/features/linear_slope.h"

#include "core/regression.h"

namespace sarvek {

LinearSlope::LinearSlope(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), xs_(window), ys_(window) {}

Result<LinearSlope> LinearSlope::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain x and y columns");
  if (window < 2) return invalid_input("window must be >= 2");
  if (outputs.size() != 2) return invalid_input("outputs must contain exactly 2 names: [slope, r2]");
  return LinearSlope(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> LinearSlope::fresh() const { return rebuild<LinearSlope>(inputs_, window_, outputs_); }

void LinearSlope::reset() {
  xs_.clear();
  ys_.clear();
}

Values LinearSlope::step(std::span<const Value> values) {
  xs_.push_back(values[0]);
  ys_.push_back(values[1]);
  if (!xs_.full()) return {kMissing, kMissing};
  const Regression r =
      regress(window_, [&](std::size_t i) { return xs_[i]; }, [&](std::size_t i) { return ys_[i]; });
  return {r.slope, r.r2};
}

}  // namespace sarvek
