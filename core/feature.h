#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "core/column.h"
#include "core/error.h"
#include "core/small_vector.h"
#include "core/value.h"

namespace sarvek {

class StateIO;
class LaneBlock;

// One bar's results: one or two values for every feature, held inline.
using Values = SmallVector<Value, 4>;

// A causal streaming indicator, driven one bar at a time. Held through an
// owning pointer by exactly one owner.
class Feature {
 public:
  virtual ~Feature() = default;

  virtual Names input_names() const = 0;
  virtual Names output_names() const = 0;
  virtual std::size_t warm_up_period() const = 0;
  // A new feature of the same type and configuration in its just-built
  // state; the receiver is untouched.
  virtual std::unique_ptr<Feature> fresh() const = 0;
  // Back to the just-built state; configuration and reserved room remain.
  virtual void reset() = 0;
  // How many leading positions of `values` update reads.
  virtual std::size_t values_read() const = 0;

  // Consumes one bar: values[i] belongs to input_names()[i]. A bar shorter
  // than values_read() is refused before anything changes; every other bar
  // is consumed and yields this bar's outputs.
  // The NaN every output NaN is written as, on every path (see
  // run_columns in feature.cpp).
  static double one_nan();

  // A NaN among the outputs comes out as one_nan().
  Result<Values> update(std::span<const Value> values) {
    if (values.size() < values_read()) return invalid_input(short_bar_message(values.size()));
    Values got = step(values);
    for (std::size_t k = 0; k < got.size(); ++k)
      if (got[k] && *got[k] != *got[k]) got[k] = one_nan();
    return got;
  }

  // Consumes `bars` bars given as whole columns: in[j] holds position j of
  // every bar (as values[j] of update), out[k] receives output name k of
  // every bar, a name beyond the values a bar produces being missing. The
  // results, and the state left behind, are exactly those of update() bar
  // by bar, bit for bit. Refused before anything changes when `in` holds
  // fewer than values_read() columns or `out` is not one column per output
  // name. Each column holds `bars` entries; outputs must not overlap inputs.
  Result<void> run_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out);

  // About how many steps of arithmetic one bar costs in a column run (1 for
  // a feature whose cost does not grow with a window). Column runs size
  // their blocks by it, so that a look at the caller's interrupt check
  // comes after a bounded amount of work whatever the window.
  virtual std::size_t work_per_bar() const { return 1; }

  // Takes the room column runs of up to `bars` bars need, so that they do
  // not allocate; changes no state. May throw std::bad_alloc.
  virtual void reserve_columns(std::size_t bars) { (void)bars; }

  // Saves or restores everything update() changes (core/state_io.h), each
  // member listed once for both directions; configuration is not part of
  // it. The default refuses, naming the type: a type whose state is not
  // listed cannot be saved.
  virtual void state(StateIO& io);

  // This feature's state for many symbols at once, lane by lane
  // (core/lane_block.h), every lane fresh and exactly this feature's
  // update(); null for a type without one (it then runs one feature per
  // symbol). May throw std::bad_alloc.
  virtual std::unique_ptr<LaneBlock> lanes() const;
  // One block running this feature and `later` (a feature after it in a
  // plan, reading the same columns) together, with outputs this feature's
  // then later's, each bit for bit as alone; null when they gain nothing
  // from it. May throw std::bad_alloc.
  virtual std::unique_ptr<LaneBlock> lanes_with(const Feature& later) const;

  // Column runs of this feature and `later` (after it in a plan, reading
  // the same columns) together: runs_with says whether the pair gains from
  // it (by type and configuration); run_columns_with then runs both over
  // one block, outputs `mine` and `theirs` and both states exactly as two
  // run_columns calls leave them, and returns true, or returns false having
  // changed nothing when it cannot (their states differ). The columns are
  // checked by the caller.
  virtual bool runs_with(const Feature& later) const;
  virtual bool run_columns_with(Feature& later, std::size_t bars, std::span<const ColumnIn> in,
                                std::span<const ColumnOut> mine, std::span<const ColumnOut> theirs);

  // A column run straight over a caller's contiguous columns, skipping the
  // staging a run through ColumnIn/ColumnOut pays: for a one-input,
  // one-output type whose formula turns a NaN anywhere in a window into a
  // NaN value, so that a missing entry (NaN at this boundary) needs no
  // flag pass. direct_bars() is the fewest bars such a run takes (0: the
  // type has none). run_direct(bars, in, out, present) reads `bars`
  // entries of `in` (NaN missing), writes `out` (one_nan() for every NaN,
  // missing included) and, when `present` is given, 1 for a present
  // result and 0 for a missing one; results and state exactly as
  // run_columns leaves them. Room comes from reserve_columns(bars).
  virtual std::size_t direct_bars() const { return 0; }
  virtual void run_direct(std::size_t bars, const double* in, double* out, std::uint8_t* present);

 protected:
  // Every NaN among the outputs of `bars` bars as one_nan(), as
  // run_columns leaves them.
  static void settle_nans(std::size_t bars, std::span<const ColumnOut> out);

  // update() once the length is known to be sufficient.
  virtual Values step(std::span<const Value> values) = 0;

  // run_columns() once the column counts are checked. By default every bar
  // goes through step().
  virtual void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out);

 private:
  std::string short_bar_message(std::size_t got) const;
};

// The configuration every feature type carries: its input and output
// column names and a window length. Checked once by the type's validating
// constructor, never changed afterwards.
class ConfiguredFeature : public Feature {
 public:
  Names input_names() const override { return inputs_; }
  Names output_names() const override { return outputs_; }
  std::size_t window() const { return window_; }
  // Most windowed features recompute their window on every bar.
  std::size_t work_per_bar() const override { return window_ == 0 ? 1 : window_; }

 protected:
  ConfiguredFeature(Names inputs, std::size_t window, Names outputs)
      : inputs_(std::move(inputs)), outputs_(std::move(outputs)), window_(window) {}

  Names inputs_;
  Names outputs_;
  std::size_t window_;
};

// Rebuilds a feature through its validating constructor for fresh(). The
// configuration passed the checks once, so a failure here is a broken
// invariant, reported as an internal error.
[[noreturn]] void fresh_invariant_broken();

template <class F, class... Args>
std::unique_ptr<Feature> rebuild(Args&&... args) {
  auto made = F::create(std::forward<Args>(args)...);
  if (!made) fresh_invariant_broken();
  return std::make_unique<F>(std::move(*made));
}

}  // namespace sarvek
