#pragma once

#include "core/feature.h"
#include "core/state_io.h"

namespace sarvek {

struct FeatureDescription;

// On-balance volume. Reads the first two inputs as close and volume: a
// running total that starts at 0 on the first present bar and then adds the
// volume when the close rose against the last present close, subtracts it
// when the close fell, and stays when it is unchanged.
class Obv final : public ConfiguredFeature {
 public:
  // The type as the catalogue lists it (core/catalog.h).
  static const FeatureDescription& description();

  static Result<Obv> create(Names inputs, Names outputs);

  std::size_t warm_up_period() const override { return 0; }
  std::unique_ptr<Feature> fresh() const override;
  void reset() override;
  void state(StateIO& io) override {
    io(started_);
    io(total_);
    io(previous_);
  }
  std::size_t values_read() const override { return 2; }

 protected:
  Values step(std::span<const Value> values) override;
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override;

 private:
  Obv(Names inputs, Names outputs);

  // One bar: its value, or missing.
  Value advance(bool present, double close, double volume);

  bool started_ = false;
  double total_ = 0.0;
  double previous_ = 0.0;  // the last present close
};

}  // namespace sarvek
