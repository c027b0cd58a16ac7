#include "core/features/sma.h"

namespace sarvek {

Sma::Sma(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<Sma> Sma::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Sma(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Sma::fresh() const { return rebuild<Sma>(inputs_, window_, outputs_); }

Values Sma::step(std::span<const Value> values) {
  buffer_.push_back(values[0]);
  if (!buffer_.full()) return {kMissing};
  // Oldest to newest from 0.0: the order is fixed so results are
  // reproducible bit for bit.
  double sum = 0.0;
  const bool complete = buffer_.visit([&](const Value& v) {
    if (!v) return false;
    sum += *v;
    return true;
  });
  if (!complete) return {kMissing};
  return {sum / static_cast<double>(window_)};
}

}  // namespace sarvek
