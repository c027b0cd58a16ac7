#pragma once

#include "core/feature.h"
#include "core/window.h"

namespace sarvek {

// The shape the range-based volatility estimators share: every bar becomes
// one variance term (missing for a bar whose prices cannot give one), the
// terms of the last `window` bars are kept, and their mean is recomputed
// from the window on every bar (core/lanes.h), so nothing drifts and an
// invalid bar stops mattering once its term leaves.
class RangeVolatilityFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { terms_.clear(); }
  void reserve_columns(std::size_t bars) override { terms_.reserve(bars); }

 protected:
  RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs);

  // Appends the bar's term, dropping the oldest when the window is full;
  // true when the window is full and every term in it is a number.
  bool push_term(const Value& term);

  // Column runs: stages term(i) for every bar and marks out[0].valid with
  // the bars whose windows are complete; bar i's window of terms is then
  // terms() + i. finish() loads the window.
  template <class Term>
  void stage_terms(std::size_t bars, std::span<const ColumnOut> out, Term&& term) {
    terms_.reserve(bars);
    terms_.begin(bars);
    double* t = terms_.staged() + terms_.lookback();
    std::uint8_t* ok = terms_.staged_valid() + terms_.lookback();
    for (std::size_t i = 0; i < bars; ++i) {
      const Value v = term(i);
      t[i] = v ? *v : 0.0;
      ok[i] = v.has_value();
    }
    complete_windows(terms_.staged_valid(), bars, window_, out[0].valid);
  }
  const double* terms() { return terms_.staged(); }
  const double* window_terms() const { return terms_.values(); }
  void finish(std::size_t bars, std::span<const ColumnOut> out);

 private:
  StagedWindow<1> terms_;
};

// Position j of bar i of a column run.
inline Value value_at(std::span<const ColumnIn> in, std::size_t j, std::size_t i) {
  return in[j].valid[i] ? Value(in[j].values[i]) : kMissing;
}

}  // namespace sarvek
