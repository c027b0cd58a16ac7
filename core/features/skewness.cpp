#include "core/features/skewness.h"

namespace sarvek {

Skewness::Skewness(Names inputs, std::size_t window, Names outputs)
    : MomentFeature(std::move(inputs), window, std::move(outputs)) {}

Result<Skewness> Skewness::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 3) return invalid_input("window must be >= 3");
  return Skewness(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Skewness::fresh() const { return rebuild<Skewness>(inputs_, window_, outputs_); }

Values Skewness::step(std::span<const Value> values) {
  const auto m = push(values[0]);
  if (!m) return {kMissing};
  double m3 = 0.0;
  each([&](double x) {
    const double z = (x - m->mean) / m->sd;
    m3 += (z * z) * z;
  });
  const double n = static_cast<double>(window_);
  const double n1 = static_cast<double>(window_ - 1);
  const double n2 = static_cast<double>(window_ - 2);
  return {(n / (n1 * n2)) * m3};
}

}  // namespace sarvek
