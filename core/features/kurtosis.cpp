#include "core/features/kurtosis.h"

namespace sarvek {

Kurtosis::Kurtosis(Names inputs, std::size_t window, Names outputs)
    : MomentFeature(std::move(inputs), window, std::move(outputs)) {}

Result<Kurtosis> Kurtosis::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window < 4) return invalid_input("window must be >= 4");
  return Kurtosis(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Kurtosis::fresh() const { return rebuild<Kurtosis>(inputs_, window_, outputs_); }

Values Kurtosis::step(std::span<const Value> values) {
  const auto m = push(values[0]);
  if (!m) return {kMissing};
  double m4 = 0.0;
  each([&](double x) {
    const double z = (x - m->mean) / m->sd;
    const double q = z * z;
    m4 += q * q;
  });
  const double n = static_cast<double>(window_);
  const double a = n * (n + 1.0);
  const double b = ((n - 1.0) * (n - 2.0)) * (n - 3.0);
  const double c = ((n - 1.0) * (n - 1.0)) * 3.0;
  const double d = (n - 2.0) * (n - 3.0);
  // The coefficient first, then the scaled sum, the correction last.
  return {m4 * (a / b) - (c / d)};
}

}  // namespace sarvek
