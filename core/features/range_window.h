#pragma once

#include <utility>

#include <cmath>
#include <cstddef>
#include <memory>
#include <span>

#include "core/lane_block.h"
#include "core/column.h"
#include "core/feature.h"
#include "core/features/window_run.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

// The per-bar terms of the range estimators, on plain doubles: a bar has a
// term (ok) or none (a missing or invalid price).
struct BarTerm {
  double value;
  bool ok;
};
inline constexpr BarTerm kNoTerm{0.0, false};

// Open, high, low and close of a bar can give a term: all positive and
// H >= L. Open and close are not compared with the range. The comparisons
// are IEEE ones, so a NaN price fails them.
inline bool range_prices_valid(double h, double l, double o, double c) {
  return h > 0.0 && l > 0.0 && o > 0.0 && h >= l && c > 0.0;
}

// The Rogers-Satchell term of valid prices, in this order:
// log(H / C) * log(H / O) + log(L / C) * log(L / O), each log of a quotient
// (the division first), the two products rounded, then added.
inline double rogers_satchell_value(double h, double l, double o, double c) {
  return std::log(h / c) * std::log(h / o) + std::log(l / c) * std::log(l / o);
}

// The term of a bar's first four values (high, low, open, close), none
// when any is missing.
template <class Term>
BarTerm ohlc_term(std::span<const Value> v, Term&& term) {
  if (!v[0] || !v[1] || !v[2] || !v[3]) return kNoTerm;
  return term(*v[0], *v[1], *v[2], *v[3]);
}

// The terms of one bar for every lane [0, used) (core/lane_block.h): lane
// i's term of its first Reads inputs, none when any is missing.
template <std::size_t Reads, class Term>
void lane_terms(std::span<const LaneIn> in, std::size_t used, double* terms, std::uint8_t* ok, Term&& term) {
  [&]<std::size_t... J>(std::index_sequence<J...>) {
    const double* v[Reads] = {in[J].values...};
    const std::uint8_t* f[Reads] = {in[J].valid...};
    for (std::size_t i = 0; i < used; ++i) {
      const BarTerm t = ((f[J][i] != 0) && ...) ? term(v[J][i]...) : kNoTerm;
      terms[i] = t.value;
      ok[i] = t.ok;
    }
  }(std::make_index_sequence<Reads>{});
}

// Whether the first n inputs of bar i of a column run are all present.
inline bool inputs_present(std::span<const ColumnIn> in, std::size_t n, std::size_t i) {
  for (std::size_t j = 0; j < n; ++j)
    if (!in[j].valid[i]) return false;
  return true;
}

// The shape the range-based volatility estimators share: every bar becomes
// one variance term (missing for a bar whose prices cannot give one), the
// terms of the last `window` bars are kept, and their mean is recomputed
// from the window on every bar (core/lanes.h), so nothing drifts and an
// invalid bar stops mattering once its term leaves.
class RangeVolatilityFeature : public ConfiguredFeature {
 public:
  std::size_t warm_up_period() const override { return window_ - 1; }
  void reset() override { terms_.clear(); }
  void state(StateIO& io) override {
    io(terms_);
  }
  void reserve_columns(std::size_t bars) override { terms_.reserve(bars); }

 protected:
  RangeVolatilityFeature(Names inputs, std::size_t window, Names outputs);

  // Appends the bar's term, dropping the oldest when the window is full;
  // true when the window is full and every term in it is a number.
  bool push_term(const Value& term);
  bool push_term(BarTerm term);

  // Column runs: term(i) is bar i's term (the function update() pushes);
  // `kernel(t, bars, out)` writes bar i's volatility from the terms
  // t + i .. t + i + window, clearing the flag of a bar without one.
  template <class Term, class Kernel>
  void run_terms(std::size_t bars, std::span<const ColumnOut> out, Term&& term, Kernel&& kernel) {
    run_window(terms_, bars, out, 1, Marks::complete_windows, TermEntries{term},
               [&](const StagedRun<1>& r, std::span<const ColumnOut> o) { kernel(r.values[0], r.bars, o[0]); });
  }
  // The same for a term of the first four inputs (high, low, open, close),
  // none for a bar missing any of them.
  template <class Term, class Kernel>
  void run_ohlc_terms(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out, Term&& term,
                      Kernel&& kernel) {
    run_terms(
        bars, out,
        [&](std::size_t i) {
          if (!inputs_present(in, 4, i)) return kNoTerm;
          return term(in[0].values[i], in[1].values[i], in[2].values[i], in[3].values[i]);
        },
        kernel);
  }
  const double* window_terms() const { return terms_.values(); }

 private:
  StagedWindow<1> terms_;
};

// A range estimator reading the first Reads inputs, written once: create
// (through the type's check_arguments, which keeps its own order and
// words), fresh and values_read. The type gives its checks, update(), column
// runs and description.
template <class F, std::size_t Reads>
class RangeFeature : public RangeVolatilityFeature {
 public:
  static Result<F> create(Names inputs, std::size_t window, Names outputs) {
    if (auto ok = F::check_arguments(inputs, window, outputs); !ok) return std::unexpected(std::move(ok.error()));
    return F(std::move(inputs), window, std::move(outputs));
  }

  std::unique_ptr<Feature> fresh() const override { return rebuild<F>(inputs_, window_, outputs_); }
  std::size_t values_read() const override { return Reads; }

 protected:
  using RangeVolatilityFeature::RangeVolatilityFeature;
};

}  // namespace sarvek
