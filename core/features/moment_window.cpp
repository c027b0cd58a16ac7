#include "core/features/moment_window.h"

#include <cmath>

namespace sarvek {

MomentFeature::MomentFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

std::optional<MomentFeature::Moments> MomentFeature::push(const Value& value) {
  buffer_.push_back(value);
  if (!buffer_.full()) return std::nullopt;
  // Sums run oldest to newest from 0.0, so results are reproducible bit for
  // bit.
  double sum = 0.0;
  const bool complete = buffer_.visit([&](const Value& v) {
    if (!v) return false;
    sum += *v;
    return true;
  });
  if (!complete) return std::nullopt;
  const double mean = sum / static_cast<double>(window_);
  double squares = 0.0;
  each([&](double x) {
    const double d = x - mean;
    squares += d * d;
  });
  const double var = squares / static_cast<double>(window_ - 1);
  // Exact test on purpose: a window whose computed mean is off by the last
  // bit still has a (tiny) variance and gets a value.
  if (var == 0.0) return std::nullopt;
  return Moments{mean, std::sqrt(var)};
}

}  // namespace sarvek
