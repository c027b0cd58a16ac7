#pragma once

#include "core/feature.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// The shape Skewness and Kurtosis share: the last `window` values of the
// first input column, whose standardized moment is recomputed from the
// window on every bar (core/lanes.h), so nothing drifts and a missing value
// stops mattering once it leaves. A window with a missing value, or whose
// variance is exactly zero, gives missing (a NaN variance goes on as a
// number).
class MomentFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { buffer_.clear(); }
  void state(StateIO& io) override {
    io(buffer_);
  }
  std::size_t values_read() const override { return 1; }
  void reserve_columns(std::size_t bars) override { buffer_.reserve(bars); }

  // Skewness and Kurtosis of the same column and window run together in
  // lanes: one pass forms the mean, deviation and z both need.
  std::unique_ptr<LaneBlock> lanes_with(const Feature& later) const override;
  // And in the column engine, while their windows hold the same entries.
  bool runs_with(const Feature& later) const override;
  bool run_columns_with(Feature& later, std::size_t bars, std::span<const ColumnIn> in,
                        std::span<const ColumnOut> mine, std::span<const ColumnOut> theirs) override;

  // The constants of the moment formulas (core/lanes.h: skewness, kurtosis):
  // a type fills in its own, `skew` telling which it is.
  struct Constants {
    bool skew;
    double coef;
    double scale;
    double correction;
  };
  virtual Constants constants() const = 0;

 protected:
  MomentFeature(Names inputs, std::size_t window, Names outputs);

  // Appends the bar's value, dropping the oldest when the window is full;
  // true when the window is full and holds no missing value.
  bool push(const Value& value) {
    push_value(buffer_, value);
    return buffer_.complete();
  }

  // Column runs: `kernel(p, bars, out)` writes bar i's moment from the
  // window p + i .. p + i + window, clearing the flag of a bar without one.
  template <class Kernel>
  void run_moment(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out, Kernel&& kernel) {
    run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
               [&](const StagedRun<1>& r, std::span<const ColumnOut> o) { kernel(r.values[0], r.bars, o[0]); });
  }

  StagedWindow<1> buffer_;
};

}  // namespace sarvek
