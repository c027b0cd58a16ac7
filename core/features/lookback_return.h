#pragma once

#include <limits>

#include "core/feature.h"
#include "core/lane_block.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// The shared body of the return features: the first input column over a
// lookback of `window` bars. The buffer keeps the last window + 1 values;
// each full bar reads only its two ends, then (oldest) and now (newest), so
// the cost per bar does not depend on the window. `Derived` supplies
//   static bool usable(double then, double now);     // the validity rule
//   static double formula(double then, double now);  // the arithmetic
//   static Value value_of(const Value& then, const Value& now);
// value_of applies the rule and formula to values, the column kernel to
// plain doubles, so both paths share one formula.
template <class Derived>
class LookbackReturn : public ConfiguredFeature {
 public:
  static Result<Derived> create(Names inputs, std::size_t window, Names outputs) {
    if (inputs.empty()) return invalid_input("inputs must not be empty");
    if (outputs.empty()) return invalid_input("outputs must not be empty");
    if (window == 0) return invalid_input("window must be non-zero");
    // The buffer holds window + 1 values; that count must be representable.
    if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
    return Derived(std::move(inputs), window, std::move(outputs));
  }

  std::size_t warm_up_period() const override { return window_; }
  std::unique_ptr<Feature> fresh() const override { return rebuild<Derived>(inputs_, window_, outputs_); }
  void reset() override { buffer_.clear(); }
  void state(StateIO& io) override {
    io(buffer_);
  }
  std::size_t values_read() const override { return 1; }
  std::size_t work_per_bar() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

  // The last window + 1 values of every lane; each lane's two ends through
  // the rule and formula.
  std::unique_ptr<LaneBlock> lanes() const override {
    class Lanes final : public RingLanes<1> {
     public:
      explicit Lanes(std::size_t window) : RingLanes<1>(window + 1), window_(window) {}
      void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
                  std::span<const LaneOut> out) override {
        push_first(used, in, active);
        double* v = out[0].values;
        std::uint8_t* ok = out[0].valid;
        for (std::size_t i = 0; i < used; ++i) ok[i] = active[i] && ring_.full(i);
        // Each block's two end rows: then (oldest) and now (newest).
        for (std::size_t first = 0; first < used; first += kLaneBlock) {
          const std::size_t m = std::min(kLaneBlock, used - first);
          const std::size_t base = (first / kLaneBlock) * ring_.block_stride();
          const double* then = ring_.rows() + base;
          const double* now = then + window_ * kLaneBlock;
          const std::uint8_t* then_ok = ring_.flag_rows() + base;
          const std::uint8_t* now_ok = then_ok + window_ * kLaneBlock;
          for (std::size_t j = 0; j < m; ++j) {
            const bool good = ok[first + j] && then_ok[j] && now_ok[j] && Derived::usable(then[j], now[j]);
            ok[first + j] = good;
            if (good) v[first + j] = Derived::formula(then[j], now[j]);
          }
        }
      }

     private:
      std::size_t window_;
    };
    return std::make_unique<Lanes>(window_);
  }

 protected:
  LookbackReturn(Names inputs, std::size_t window, Names outputs)
      : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window + 1) {}

  Values step(std::span<const Value> values) override {
    push_value(buffer_, values[0]);
    if (!buffer_.full()) return {kMissing};
    return {Derived::value_of(entry(buffer_.values(), buffer_.valid(), 0),
                              entry(buffer_.values(), buffer_.valid(), window_))};
  }

  // Bar i reads staged entries i (then) and i + window (now).
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override {
    // Only the two ends matter, so the formula marks the bars itself.
    run_window(buffer_, bars, out, 1, Marks::by_formula, InputEntries<1>{in},
               [this](const StagedRun<1>& r, std::span<const ColumnOut> o) {
                 const double* p = r.values[0];
                 const std::uint8_t* present = r.present;
                 double* v = o[0].values;
                 std::uint8_t* ok = o[0].valid;
                 // The rule and formula of value_of on plain doubles, without
                 // building a value per bar; the formula only runs for bars
                 // that give a number.
                 constexpr double nan = std::numeric_limits<double>::quiet_NaN();
                 for (std::size_t i = 0; i < r.bars; ++i) {
                   const double then = p[i];
                   const double now = p[i + window_];
                   const bool good = (present[i] & present[i + window_]) != 0 && Derived::usable(then, now);
                   ok[i] = good;
                   v[i] = good ? Derived::formula(then, now) : nan;
                 }
               });
  }

 private:
  static Value entry(const double* values, const std::uint8_t* present, std::size_t i) {
    return present[i] ? Value(values[i]) : kMissing;
  }

  StagedWindow<1> buffer_;
};

}  // namespace sarvek
