#pragma once

#include "core/feature.h"
#include "core/state_io.h"
#include "core/features/ema.h"

namespace sarvek {

struct FeatureDescription;

// Moving average convergence/divergence of the first input column: macd =
// Ema(fast) - Ema(slow), its signal line an Ema(signal) of the macd column,
// and hist = macd - signal. Every average is Ema's own recursion (its
// seeding and re-seeding), so the three outputs are those of a pipeline of
// Emas to the last bit.
class Macd final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Macd> create(Names inputs, Names outputs, std::size_t fast, std::size_t slow, std::size_t signal);

  // The macd line's; the signal line comes later (see the description's
  // first valid bars).
  std::size_t warm_up_period() const override { return slow_ - 1; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    fast_ema_.state(io);
    slow_ema_.state(io);
    signal_ema_.state(io);
  }
  std::size_t values_read() const override { return 1; }

  std::size_t fast() const { return fast_; }
  std::size_t slow() const { return slow_; }
  std::size_t signal() const { return signal_; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Macd(Names inputs, Names outputs, std::size_t fast, std::size_t slow, std::size_t signal);

  struct Bar {
    Value macd, signal, hist;
  };
  Bar advance(bool present, double x);

  std::size_t fast_;
  std::size_t slow_;
  std::size_t signal_;
  EmaState fast_ema_;
  EmaState slow_ema_;
  EmaState signal_ema_;
};

}  // namespace sarvek
