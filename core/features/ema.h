#pragma once

#include "core/feature.h"
#include "core/lanes.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

struct FeatureDescription;

// The recursion of an exponential moving average over one stream of values,
// seeded with the simple mean of a whole collection of `window` values. Ema
// is one of these; types built from EMAs (Macd) hold several, so that their
// averages are Ema's to the last bit.
class EmaState {
 public:
  explicit EmaState(std::size_t window)
      : window_(window), alpha_(2.0 / (static_cast<double>(window) + 1.0)), buffer_(window) {}

  // Smoothing factor 2 / (window + 1).
  double alpha() const { return alpha_; }

  void reset() {
    current_.reset();
    buffer_.clear();
  }

  // Running: seeded, so that every present value is blended in.
  bool running() const { return current_.has_value(); }
  double current() const { return *current_; }
  void set_current(double value) { current_ = value; }

  // The blend of one value into a running average, as written: 1 - alpha
  // first, then the two products, then the sum.
  static double blend(double alpha, double current, double x) { return (1.0 - alpha) * current + alpha * x; }

  // Column runs: while running, blends the present values from x[i] on in
  // a register, writing each average through emit(i, value); returns the
  // first bar not consumed (a missing one, or `bars`). Bit for bit advance().
  template <class Emit>
  std::size_t run_present(std::size_t i, std::size_t bars, const double* x, const std::uint8_t* present, Emit&& emit) {
    if (!current_) return i;
    const double alpha = alpha_;
    double current = *current_;
    for (; i < bars && present[i]; ++i) {
      current = blend(alpha, current, x[i]);
      emit(i, current);
    }
    current_ = current;
    return i;
  }

  // One bar: its value, or missing.
  Value advance(bool present, double x) {
    if (current_) {
      if (!present) {
        reset();
        return kMissing;
      }
      const double next = blend(alpha_, *current_, x);
      current_ = next;
      return next;
    }

    buffer_.push(present, present ? x : 0.0);
    if (!buffer_.full()) return kMissing;
    // The seed is the plain mean of the collection, oldest to newest from
    // 0.0 (lanes::window_mean). A missing value anywhere in it throws the
    // whole collection away.
    const bool complete = buffer_.missing() == 0;
    const double seed = complete ? lanes::window_mean<double>(buffer_.values(), window_) : 0.0;
    buffer_.clear();
    if (!complete) return kMissing;
    current_ = seed;
    return seed;
  }

  // The first bar at which the average can be valid when its values can be
  // valid from bar `start` on: collections are counted from bar 0, so the
  // seed waits for the first whole collection from `start`.
  // The recursion's state, saved or restored (core/state_io.h).
  void state(StateIO& io) {
    io(current_);
    io(buffer_);
  }

  static std::size_t first_valid(std::size_t window, std::size_t start) {
    if (start % window) start += window - start % window;
    return start + window - 1;
  }

 private:
  std::size_t window_;
  double alpha_;
  Value current_;
  // Values collected for the seed; empty whenever current_ is present.
  Window<1> buffer_;
};

// Exponential moving average of the first input column, seeded with the
// simple mean of the first `window` values. A missing input discards the
// average; the next `window` values seed it again.
class Ema final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Ema> create(Names inputs, std::size_t window, Names outputs);

  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override { state_.state(io); }
  std::size_t values_read() const override { return 1; }
  // One blend per bar, whatever the window.
  std::size_t work_per_bar() const override { return 1; }

  // Smoothing factor 2 / (window + 1).
  double alpha() const { return state_.alpha(); }

  std::unique_ptr<LaneBlock> lanes() const override;

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Ema(Names inputs, std::size_t window, Names outputs);

  EmaState state_;
};

}  // namespace sarvek
