#pragma once

#include "core/catalog.h"
#include "core/feature.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// The shape RollingStd, ZScore and BollingerBands share: the last `window`
// values of the first input column, whose mean and standard deviation with
// `ddof` delta degrees of freedom (core/lanes.h, lanes::spread) are
// recomputed from the window on every bar, so nothing drifts and a missing
// value stops mattering once it leaves.
class SpreadFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { buffer_.clear(); }
  void state(StateIO& io) override {
    io(buffer_);
  }
  std::size_t values_read() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }
  std::size_t ddof() const { return ddof_; }

 protected:
  SpreadFeature(Names inputs, std::size_t window, Names outputs, std::size_t ddof)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)),
        buffer_(window),
        ddof_(ddof),
        divisor_(static_cast<double>(window - ddof)) {}

  // The checks every spread feature makes after its outputs: a window of at
  // least one bar, and more bars than delta degrees of freedom (otherwise
  // no bar could ever have a value).
  static Result<void> check_window(std::size_t window, std::size_t ddof) {
    if (window == 0) return invalid_input("window must be non-zero");
    if (ddof >= window) return invalid_input("ddof must be < window");
    return {};
  }

  // Appends the bar's value; true when the window is full and holds no
  // missing value.
  bool push(const Value& value) {
    push_value(buffer_, value);
    return buffer_.complete();
  }

  StagedWindow<1> buffer_;
  std::size_t ddof_;
  double divisor_;  // window - ddof
};

// The parameters (inputs, window, outputs, ddof) as the catalogue lists
// them, with the outputs' constraint, its least count and ddof's default.
inline std::vector<ParamDescription> spread_params(const char* outputs_constraint, std::size_t outputs_minimum,
                                                   std::size_t ddof_default) {
  return {names_param("inputs", "must not be empty", 1), count_param("window", "must be non-zero", 1),
          names_param("outputs", outputs_constraint, outputs_minimum),
          count_param("ddof", "must be < window", 0, ddof_default)};
}

// make and arguments_of for a type built as F::create(inputs, window, outputs, ddof).
template <class F>
Result<std::unique_ptr<Feature>> make_spread(Arguments a) {
  return owned<F, Feature>(F::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                     std::get<Names>(std::move(a[2])), count_argument(a, 3)));
}
template <class F>
Arguments spread_arguments(const Feature& f) {
  const auto& c = static_cast<const F&>(f);
  return {c.input_names(), c.window(), c.output_names(), c.ddof()};
}

}  // namespace sarvek
