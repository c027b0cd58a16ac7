#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <tuple>
#include <vector>

#include "core/catalog.h"
#include "core/feature.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// A feature with one value per bar from the last `window` values of its
// first input column, written once: the checks, the window and its column
// staging, warm-up and lifecycle. A type (final, deriving from
// WindowFeature<itself> and befriending it) gives only its formula:
//   double value(const double* window);  // update(): a complete window, oldest first
//   void column(const StagedRun<1>& run, double* out);  // a column run's windows
// and its description; a type with parameters of its own also gives its
// create and create_arguments(). A missing value anywhere in the window makes the
// output missing, on both paths.
template <class F>
class WindowFeature : public ConfiguredFeature {
 public:
  static Result<F> create(Names inputs, std::size_t window, Names outputs) {
    if (auto ok = check_arguments(inputs, window, outputs); !ok) return std::unexpected(std::move(ok.error()));
    return F(std::move(inputs), window, std::move(outputs));
  }

  std::size_t warm_up_period() const override { return window_ - 1; }
  // Rebuilt through create from the type's create_arguments().
  std::unique_ptr<Feature> fresh() const override {
    return std::apply([](const auto&... a) { return rebuild<F>(a...); },
                      static_cast<const F&>(*this).create_arguments());
  }
  void reset() override { buffer_.clear(); }
  void state(StateIO& io) override { io(buffer_); }
  std::size_t values_read() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

 protected:
  WindowFeature(Names inputs, std::size_t window, Names outputs)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

  // The checks every such type makes, in its constructors' words.
  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
    if (inputs.empty()) return invalid_input("inputs must not be empty");
    if (outputs.empty()) return invalid_input("outputs must not be empty");
    if (window == 0) return invalid_input("window must be non-zero");
    return {};
  }

  Values step(std::span<const Value> values) override {
    push_value(buffer_, values[0]);
    if (!buffer_.complete()) return {kMissing};
    return {self().value(buffer_.values())};
  }

  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override {
    run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
               [this](const StagedRun<1>& r, std::span<const ColumnOut> o) { self().column(r, o[0].values); });
  }

  // What create took; a type with parameters of its own hides this.
  std::tuple<Names, std::size_t, Names> create_arguments() const { return {inputs_, window_, outputs_}; }

  StagedWindow<1> buffer_;

 private:
  F& self() { return static_cast<F&>(*this); }
};

// The parameters (inputs, window, outputs) of such a type.
inline std::vector<ParamDescription> window_params() {
  return {names_param("inputs", "must not be empty", 1), count_param("window", "must be non-zero", 1),
          names_param("outputs", "must not be empty", 1)};
}

// The description of such a type without parameters of its own.
template <class F>
FeatureDescription window_description(const char* name, const char* doc, const char* update_doc,
                                      Visibility visibility = Visibility::package) {
  return {
      .name = name,
      .visibility = visibility,
      .doc = doc,
      .update_doc = update_doc,
      .params = window_params(),
      .reads = 1,
      .produces = 1,
      .memory = memory_window_minus_one,
      .make = make_windowed<F>,
      .is = is_a<F, Feature>,
      .arguments_of = windowed_arguments<F>,
  };
}

}  // namespace sarvek
