#include "core/features/kama.h"

#include <cmath>
#include <limits>

namespace sarvek {

Kama::Kama(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)),
      fast_(fast),
      slow_(slow),
      fast_sc_(2.0 / (static_cast<double>(fast) + 1.0)),
      slow_sc_(2.0 / (static_cast<double>(slow) + 1.0)),
      buffer_(window + 1) {}

Result<Kama> Kama::create(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be >= 1");
  // The buffer holds window + 1 prices; that count must be representable.
  if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
  if (fast == 0) return invalid_input("fast must be >= 1");
  if (slow <= fast) return invalid_input("slow must be > fast");
  return Kama(std::move(inputs), window, std::move(outputs), fast, slow);
}

std::unique_ptr<Feature> Kama::fresh() const { return rebuild<Kama>(inputs_, window_, outputs_, fast_, slow_); }

void Kama::reset() {
  current_.reset();
  buffer_.clear();
}

Values Kama::step(std::span<const Value> values) {
  buffer_.push_back(values[0]);
  if (!buffer_.full()) return {kMissing};

  // One pass, oldest to newest: the volatility is the sum of absolute
  // changes from 0.0; a missing price blocks the output.
  double volatility = 0.0;
  const Value* before = nullptr;
  const bool complete = buffer_.visit([&](const Value& p) {
    if (!p) return false;
    if (before) volatility += std::fabs(*p - **before);
    before = &p;
    return true;
  });
  if (!complete) {
    current_.reset();
    return {kMissing};
  }

  const double newest = *buffer_.back();
  const double change = std::fabs(newest - *buffer_.front());
  // A zero or NaN volatility gives a ratio of 0.
  const double er = volatility > 0.0 ? change / volatility : 0.0;
  double sc = er * (fast_sc_ - slow_sc_) + slow_sc_;
  sc = sc * sc;
  const double prev = current_ ? *current_ : *buffer_[window_ - 1];
  const double next = sc * (newest - prev) + prev;
  current_ = next;
  return {next};
}

}  // namespace sarvek
