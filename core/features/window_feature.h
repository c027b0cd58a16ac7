#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <cstddef>
#include <memory>
#include <span>
#include <tuple>
#include <vector>

#include "core/catalog.h"
#include "core/feature.h"
#include "core/lane_block.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// A feature with values per bar from the last `window` entries of its
// first N input columns (an entry is missing when any of its N values is),
// written once: the checks, the window and its column staging, warm-up and
// lifecycle. A type (final, deriving from WindowFeature<itself, N> and
// befriending it) gives only its formula. With one column:
//   double value(const double* window);  // update(): a complete window, oldest first
//   void column(const StagedRun<1>& run, double* out);  // a column run's windows
// with N columns:
//   Values value();  // update(): from the complete window buffer_
//   void column(const StagedRun<N>& run, std::span<const ColumnOut> out);
// and its description; a type writing more than one value hides kProduces,
// one with other checks hides check_arguments, and one with parameters of
// its own gives its create and create_arguments(). A missing entry anywhere
// in the window makes the outputs missing, on both paths.
template <class F, std::size_t N = 1>
class WindowFeature : public ConfiguredFeature {
 public:
  static Result<F> create(Names inputs, std::size_t window, Names outputs) {
    if (auto ok = F::check_arguments(inputs, window, outputs); !ok) return std::unexpected(std::move(ok.error()));
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
  std::size_t values_read() const override { return N; }
  void reserve_columns(std::size_t bars) override {
    buffer_.reserve(bars);
    if constexpr (F::kDirect) {
      if (marks_.size() < buffer_.lookback()) marks_.resize(buffer_.lookback());
    }
  }

  // A type whose column formula sums its window (a NaN entry makes the
  // value NaN) and reads only the window values (never the run's flags)
  // sets kDirect: its column runs over a caller's contiguous columns then
  // read and write them in place.
  std::size_t direct_bars() const override {
    if constexpr (N == 1 && F::kDirect) {
      return 2 * window_;
    } else {
      return 0;
    }
  }
  void run_direct(std::size_t bars, const double* in, double* out, std::uint8_t* present) override {
    if constexpr (N == 1 && F::kDirect) {
      run_direct_window(bars, in, out, present);
    } else {
      ConfiguredFeature::run_direct(bars, in, out, present);
    }
  }

 protected:
  WindowFeature(Names inputs, std::size_t window, Names outputs)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

  // The values a bar gives.
  static constexpr std::size_t kProduces = 1;
  // Whether column runs may go straight over a caller's columns (above).
  static constexpr bool kDirect = false;

  // The checks every such type makes, in its constructors' words.
  static Result<void> check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
    if (inputs.empty()) return invalid_input("inputs must not be empty");
    if (outputs.empty()) return invalid_input("outputs must not be empty");
    if (window == 0) return invalid_input("window must be non-zero");
    return {};
  }

  Values step(std::span<const Value> values) override {
    if constexpr (N == 1) {
      push_value(buffer_, values[0]);
    } else {
      bool present = true;
      for (std::size_t k = 0; k < N; ++k) present = present && values[k].has_value();
      std::array<double, N> entry{};
      for (std::size_t k = 0; k < N; ++k) entry[k] = present ? *values[k] : 0.0;
      buffer_.push(present, entry);
    }
    if (!buffer_.complete()) {
      Values missing;
      for (std::size_t k = 0; k < F::kProduces; ++k) missing.push_back(kMissing);
      return missing;
    }
    if constexpr (N == 1) {
      return {self().value(buffer_.values())};
    } else {
      return self().value();
    }
  }

  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override {
    run_window(buffer_, bars, out, F::kProduces, Marks::complete_windows, InputEntries<N>{in},
               [this](const StagedRun<N>& r, std::span<const ColumnOut> o) {
                 if constexpr (N == 1) {
                   self().column(r, o[0].values);
                 } else {
                   self().column(r, o);
                 }
               });
  }

  // What create took; a type with parameters of its own hides this.
  std::tuple<Names, std::size_t, Names> create_arguments() const { return {inputs_, window_, outputs_}; }

  StagedWindow<N> buffer_;

 private:
  F& self() { return static_cast<F&>(*this); }

  // run_direct, bars >= 2 * window: the first lookback bars' windows reach
  // into the history, staged as run_window stages it; every later bar's
  // window lies whole in `in`, which the formula reads in place. The state
  // is then the last `window` entries, as a run's commit leaves it.
  void run_direct_window(std::size_t bars, const double* in, double* out, std::uint8_t* present) {
    const std::size_t w = window_;
    const std::size_t l = buffer_.lookback();
    const double nan = one_nan();
    buffer_.begin(l);
    double* v = buffer_.staged();
    std::uint8_t* f = buffer_.staged_valid();
    lane_load(l, in, 1, v + l, f + l);
    complete_windows(f, l, w, marks_.data());
    self().column(StagedRun<1>{{v}, f, l, w}, out);
    self().column(StagedRun<1>{{in}, nullptr, bars - l, w}, out + l);
    for (std::size_t i = 0; i < l; ++i) out[i] = marks_[i] ? out[i] : nan;
    one_nan_column(bars, nan, out);
    if (present) {
      if (l) std::memcpy(present, marks_.data(), l);  // a window of one has no marks (and no room)
      for (std::size_t i = l; i < bars; ++i) present[i] = out[i] == out[i];
      // A NaN is missing when its window holds a missing entry, else a
      // computed NaN (inf - inf).
      for (std::size_t i = l; i < bars; ++i)
        if (!present[i]) present[i] = std::none_of(in + (i - l), in + i + 1, [](double x) { return x != x; });
    }
    lane_load(w, in + (bars - w), 1, v, f);
    const double* src[1] = {v};
    buffer_.assign(w, src, f);
  }

  std::vector<std::uint8_t> marks_;  // the first bars' complete windows, direct runs
};

// The parameters (inputs, window, outputs) of such a type; a type reading
// more than one column says what its inputs must contain.
inline std::vector<ParamDescription> window_params(const char* inputs_constraint = "must not be empty",
                                                   std::size_t min_inputs = 1) {
  return {names_param("inputs", inputs_constraint, min_inputs), count_param("window", "must be non-zero", 1),
          names_param("outputs", "must not be empty", 1)};
}

// The description of such a type without parameters of its own: with
// the given parameters, reads and produces, or those of one column.
template <class F>
FeatureDescription window_description(const char* name, const char* doc, const char* update_doc,
                                      std::vector<ParamDescription> params, std::size_t reads,
                                      std::size_t produces, Visibility visibility = Visibility::package) {
  return {
      .name = name,
      .visibility = visibility,
      .doc = doc,
      .update_doc = update_doc,
      .params = std::move(params),
      .reads = reads,
      .produces = produces,
      .memory = memory_window_minus_one,
      .make = make_windowed<F>,
      .is = is_a<F, Feature>,
      .arguments_of = windowed_arguments<F>,
  };
}

template <class F>
FeatureDescription window_description(const char* name, const char* doc, const char* update_doc,
                                      Visibility visibility = Visibility::package) {
  return window_description<F>(name, doc, update_doc, window_params(), 1, 1, visibility);
}

}  // namespace sarvek
