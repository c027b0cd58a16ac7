#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "core/column.h"
#include "core/value.h"
#include "core/window.h"

namespace sarvek {

// Pushes a bar's value into a one-number window; a missing value is held
// as a missing entry.
inline void push_value(Window<1>& w, const Value& v) { w.push(v.has_value(), v ? *v : 0.0); }

// Position j of bar i of a column run.
inline Value value_at(std::span<const ColumnIn> in, std::size_t j, std::size_t i) {
  return in[j].valid[i] ? Value(in[j].values[i]) : kMissing;
}

// What a window formula sees of a column run: bar i's window is the `span`
// entries values[k] + i .. values[k] + i + span (number k of each entry)
// with flags present + i .., oldest first. The first windows reach back
// into the history the window held before the run.
template <std::size_t N>
struct StagedRun {
  const double* values[N];
  const std::uint8_t* present;
  std::size_t bars;
  std::size_t span;
};

// Entries of a column run, staged one of two ways:
//
// InputEntries<N>: entry number k of bar i is in[k] of bar i; the entry is
// present when all N inputs are.
template <std::size_t N>
struct InputEntries {
  std::span<const ColumnIn> in;
  void operator()(std::size_t bars, double* const* dst, std::uint8_t* present) const {
    for (std::size_t k = 0; k < N; ++k) std::memcpy(dst[k], in[k].values, bars * sizeof(double));
    std::memcpy(present, in[0].valid, bars);
    for (std::size_t k = 1; k < N; ++k) {
      const std::uint8_t* valid = in[k].valid;  // held locally: the flag stores may alias anything
      for (std::size_t i = 0; i < bars; ++i) present[i] &= valid[i];
    }
  }
};

// TermEntries: one number per bar, term(i) returning the bar's term or
// missing for a bar whose values cannot give one: a Value, or on plain
// doubles a {value, ok} pair (no optional in the column loop). The same
// function serves update(), so both paths stage the same terms.
template <class Term>
struct TermEntries {
  Term term;
  void operator()(std::size_t bars, double* const* dst, std::uint8_t* present) const {
    double* values = dst[0];  // held locally: the flag stores may alias anything
    for (std::size_t i = 0; i < bars; ++i) {
      const auto v = term(i);
      if constexpr (requires { v.ok; }) {  // a plain term: value and flag
        values[i] = v.ok ? v.value : 0.0;
        present[i] = v.ok;
      } else {
        values[i] = v ? *v : 0.0;
        present[i] = v.has_value();
      }
    }
  }
};
template <class Term>
TermEntries(Term) -> TermEntries<Term>;

// Terms<N>: N numbers per bar on plain doubles, and whether the bar has
// them; TermsEntries<N> stages term(i) of that type as entry i.
template <std::size_t N>
struct Terms {
  double value[N];
  bool ok;
};
template <std::size_t N, class Term>
struct TermsEntries {
  Term term;
  void operator()(std::size_t bars, double* const* dst, std::uint8_t* present) const {
    double* values[N];  // held locally: the flag stores may alias anything
    for (std::size_t k = 0; k < N; ++k) values[k] = dst[k];
    for (std::size_t i = 0; i < bars; ++i) {
      const Terms<N> t = term(i);
      for (std::size_t k = 0; k < N; ++k) values[k][i] = t.ok ? t.value[k] : 0.0;
      present[i] = t.ok;
    }
  }
};
template <std::size_t N, class Term>
TermsEntries<N, Term> terms_entries(Term term) {
  return {std::move(term)};
}

// Which bars get a value before the formula runs: those whose whole window
// is complete (full, nothing missing), or none (the formula marks them).
enum class Marks { complete_windows, by_formula };

// The column run of a windowed feature, written once. `window` keeps the
// last span = capacity() entries, each of N numbers; the feature produces
// `produced` values per bar. A run of `bars` bars:
//   1. stages the window's history, then every bar's entry (`entries`);
//   2. with Marks::complete_windows, marks out[0 .. produced).valid with
//      the bars whose window is complete;
//   3. runs `formula(run, out)`, the window formula over every bar at once
//      (usually a kernel of core/simd/kernels.h), which writes the values
//      and clears the flags of bars it cannot give a value;
//   4. loads the window from the staged tail: the state update() bar by bar
//      leaves;
//   5. marks every output named beyond the produced ones missing.
// So a windowed feature is its entries (or terms), its formula and its
// streaming step; the order of the protocol lives here only.
template <std::size_t N, class Entries, class Formula>
void run_window(StagedWindow<N>& window, std::size_t bars, std::span<const ColumnOut> out, std::size_t produced,
                Marks marks, const Entries& entries, Formula&& formula) {
  window.begin(bars);
  const std::size_t l = window.lookback();
  double* dst[N];
  StagedRun<N> run{{}, window.staged_valid(), bars, window.capacity()};
  for (std::size_t k = 0; k < N; ++k) {
    dst[k] = window.staged(k) + l;
    run.values[k] = window.staged(k);
  }
  entries(bars, dst, window.staged_valid() + l);
  if (marks == Marks::complete_windows && produced > 0) {
    complete_windows(window.staged_valid(), bars, run.span, out[0].valid);
    for (std::size_t k = 1; k < produced; ++k) std::memcpy(out[k].valid, out[0].valid, bars);
  }
  formula(run, out);
  window.commit(bars);
  if (out.size() > produced) fill_missing(out.subspan(produced), bars);
}

}  // namespace sarvek
