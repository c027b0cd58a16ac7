#include "core/features/ema.h"

namespace sarvek {

Ema::Ema(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)),
      alpha_(2.0 / (static_cast<double>(window) + 1.0)),
      buffer_(window) {}

Result<Ema> Ema::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Ema(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Ema::fresh() const { return rebuild<Ema>(inputs_, window_, outputs_); }

void Ema::reset() {
  current_.reset();
  buffer_.clear();
}

Values Ema::step(std::span<const Value> values) {
  const Value& x = values[0];
  if (current_) {
    if (!x) {
      reset();
      return {kMissing};
    }
    // 1 - alpha is formed on every bar, exactly as the blend is written.
    const double next = (1.0 - alpha_) * *current_ + alpha_ * *x;
    current_ = next;
    return {next};
  }

  buffer_.push_back(x);
  if (!buffer_.full()) return {kMissing};
  // The seed is the plain mean of the collection, oldest to newest from 0.0.
  // A missing value anywhere in it throws the whole collection away.
  double sum = 0.0;
  const bool complete = buffer_.visit([&](const Value& v) {
    if (!v) return false;
    sum += *v;
    return true;
  });
  buffer_.clear();
  if (!complete) return {kMissing};
  const double seed = sum / static_cast<double>(window_);
  current_ = seed;
  return {seed};
}

}  // namespace sarvek
