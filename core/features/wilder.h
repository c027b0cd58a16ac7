#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include "core/catalog.h"
#include "core/feature.h"
#include "core/features/one_bar.h"
#include "core/state_io.h"

namespace sarvek {

// Wilder's smoothing of K per-bar terms that need the bar before (a price
// change, a true range), shared by Rsi and Atr.
//
// Seeding: a collection of window + 1 consecutive bars gives `window`
// terms; their plain means (sums oldest to newest from 0.0, then / window)
// start the averages on the collection's last bar. A missing bar anywhere in
// a collection throws the whole collection away when it ends, and the next
// collection starts on the bar after it, so collections are counted from
// bar 0. Then, on every present bar, avg = (avg * (window - 1) + term) /
// window. A missing bar while running drops the averages (that bar is
// missing) and seeding starts again on the bar after it: the Ema way.
template <std::size_t K>
class WilderAverages {
 public:
  using Terms = std::array<double, K>;

  explicit WilderAverages(std::size_t window)
      : window_(window), n_(static_cast<double>(window)), n_minus_one_(static_cast<double>(window - 1)) {}

  void reset() {
    running_ = false;
    complete_ = true;
    count_ = 0;
    avg_.fill(0.0);
  }

  // One bar, `present` when every value it reads is. `terms()` gives the
  // bar's terms from it and the bar before; it is called only when both are
  // present. Returns whether the averages are valid on this bar.
  template <class TermsOf>
  bool advance(bool present, TermsOf&& terms) {
    if (running_) {
      if (!present) {
        reset();
        return false;
      }
      const Terms t = terms();
      for (std::size_t k = 0; k < K; ++k) avg_[k] = smooth(avg_[k], t[k]);
      return true;
    }
    ++count_;
    if (!present) {
      complete_ = false;
    } else if (count_ > 1 && complete_) {
      const Terms t = terms();
      for (std::size_t k = 0; k < K; ++k) avg_[k] += t[k];
    }
    if (count_ <= window_) return false;
    if (!complete_) {
      reset();
      return false;
    }
    for (std::size_t k = 0; k < K; ++k) avg_[k] = avg_[k] / n_;
    running_ = true;
    return true;
  }

  double average(std::size_t k) const { return avg_[k]; }

  // Running: seeded, so that every present bar smooths its terms in; column
  // runs then keep the averages in registers (set_average writes them back).
  bool running() const { return running_; }
  void set_average(std::size_t k, double value) { avg_[k] = value; }

  // One step of the smoothing, as written: (avg * (window - 1) + term) / window.
  double smooth(double avg, double term) const { return (avg * n_minus_one_ + term) / n_; }

  // The averages' state, saved or restored (core/state_io.h).
  void state(StateIO& io) {
    io(running_);
    io(complete_);
    std::uint64_t count = count_;
    io(count);
    if (io.loading() && count > window_ + 1)
      io.fail("a collection holds " + std::to_string(count) + " bars, more than " + std::to_string(window_ + 1));
    count_ = io.failed() ? 0 : count;
    for (double& a : avg_) io(a);
  }

  // The first bar at which the averages can be valid when the values read
  // can be valid from bar `start` on: the first whole collection of
  // window + 1 bars, counted from bar 0, from `start`.
  static std::size_t first_valid(std::size_t window, std::size_t start) {
    const std::size_t span = window + 1;
    if (start % span) start += span - start % span;
    return start + window;
  }

 private:
  std::size_t window_;
  double n_;
  double n_minus_one_;
  bool running_ = false;
  bool complete_ = true;
  // Bars in the current collection.
  std::size_t count_ = 0;
  // The sums of the terms while collecting, the averages while running.
  Terms avg_{};
};

// A feature of one value per bar from WilderAverages<K> of terms of its
// first Reads input columns and the carried value of the bar before,
// written once: the checks, the lifecycle and state, update() through the
// column run (run_one_bar) and the description. A type (final, deriving
// from WilderFeature<itself, Reads, K> and befriending it) gives its
// constraint on the inputs as kInputsConstraint and its column run,
// step_columns, whose arithmetic is its own.
template <class F, std::size_t Reads, std::size_t K>
class WilderFeature : public ConfiguredFeature {
 public:
  static Result<F> create(Names inputs, std::size_t window, Names outputs) {
    if (inputs.size() < Reads) return invalid_input(std::string("inputs ") + F::kInputsConstraint);
    if (outputs.empty()) return invalid_input("outputs must not be empty");
    if (window == 0) return invalid_input("window must be non-zero");
    // A seed collection holds window + 1 bars; that count must be representable.
    if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
    return F(std::move(inputs), window, std::move(outputs));
  }

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override { return rebuild<F>(inputs_, window_, outputs_); }
  void reset() override {
    averages_.reset();
    previous_ = 0.0;
  }
  void state(StateIO& io) override {
    averages_.state(io);
    io(previous_);
  }
  std::size_t values_read() const override { return Reads; }
  // One blend per bar, whatever the window.
  std::size_t work_per_bar() const override { return 1; }

 protected:
  WilderFeature(Names inputs, std::size_t window, Names outputs)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), averages_(window) {}

  Values step(std::span<const Value> values) override {
    return run_one_bar<Reads, 1>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
      static_cast<F&>(*this).F::step_columns(1, in, out);
    });
  }

  WilderAverages<K> averages_;
  double previous_ = 0.0;  // the carried value of the last present bar
};

// The description of such a type.
template <class F, std::size_t Reads, std::size_t K>
FeatureDescription wilder_description(const char* name, const char* doc, const char* update_doc) {
  return {
      .name = name,
      .doc = doc,
      .update_doc = update_doc,
      .params = {names_param("inputs", F::kInputsConstraint, Reads),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = Reads,
      .produces = 1,
      .memory = nullptr,  // a recursion: every bar since the start counts
      // Seed collections of window + 1 bars are counted from bar 0.
      .first_valid = [](const Arguments& a, std::size_t start, std::size_t) -> std::size_t {
        return WilderAverages<K>::first_valid(count_argument(a, 1), start);
      },
      .make = make_windowed<F>,
      .is = is_a<F, Feature>,
      .arguments_of = windowed_arguments<F>,
  };
}

}  // namespace sarvek
