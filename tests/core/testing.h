#pragma once

// Shared helpers for the core tests: running bars through a feature,
// comparing values and columns exactly, and the lifecycle checks every
// feature must pass (short bars change nothing, fresh() and reset() give a
// just-built feature, runs reproduce bit for bit).

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <initializer_list>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/feature.h"

namespace sarvek::testing {

inline constexpr Value M = kMissing;

using Bar = std::vector<Value>;
using Outputs = std::vector<std::vector<Value>>;

inline std::vector<Value> to_vector(const Values& v) { return {v.begin(), v.end()}; }

// Runs every bar through `f`; every bar must be accepted.
inline Outputs run(Feature& f, const std::vector<Bar>& bars) {
  Outputs out;
  for (const Bar& bar : bars) {
    auto r = f.update(bar);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    out.push_back(r ? to_vector(*r) : std::vector<Value>{});
  }
  return out;
}

// Feeds one single-value bar per entry and collects the first output.
inline std::vector<Value> run(Feature& f, std::initializer_list<Value> inputs) {
  std::vector<Value> out;
  for (const Value& v : inputs) {
    const Value bar[] = {v};
    auto r = f.update(bar);
    EXPECT_TRUE(r.has_value());
    out.push_back(r ? (*r)[0] : kMissing);
  }
  return out;
}

// One multi-value bar; the bar must be long enough.
inline Value step(Feature& f, std::initializer_list<Value> bar) {
  auto r = f.update(std::span<const Value>(bar.begin(), bar.size()));
  EXPECT_TRUE(r.has_value());
  if (!r) return kMissing;
  EXPECT_EQ(r->size(), 1u);
  return (*r)[0];
}

// One-column bars from a list of values.
inline std::vector<Bar> column(const std::vector<Value>& xs) {
  std::vector<Bar> bars;
  for (const Value& x : xs) bars.push_back({x});
  return bars;
}

// First output of every bar.
inline std::vector<Value> firsts(const Outputs& out) {
  std::vector<Value> v;
  for (const auto& o : out) v.push_back(o.empty() ? M : o[0]);
  return v;
}

// Missing matches missing; NaN matches any NaN; other numbers must be equal.
inline bool same_value(const Value& a, const Value& b) {
  if (!a || !b) return !a && !b;
  if (std::isnan(*a) || std::isnan(*b)) return std::isnan(*a) && std::isnan(*b);
  return *a == *b;
}

// Bit for bit: missing matches missing, numbers must have the same bits.
inline bool same_bits(const Value& a, const Value& b) {
  if (!a || !b) return !a && !b;
  return std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

inline std::string show(const Value& v) { return v ? std::to_string(*v) : std::string("missing"); }

inline void expect_values(const std::vector<Value>& got, const std::vector<Value>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_TRUE(same_value(got[i], want[i])) << "bar " << i << ": got " << show(got[i]) << ", want " << show(want[i]);
}

inline void expect_same_bits(const Outputs& a, const Outputs& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), b[i].size()) << "bar " << i;
    for (std::size_t j = 0; j < a[i].size(); ++j)
      EXPECT_TRUE(same_bits(a[i][j], b[i][j])) << "bar " << i << " output " << j;
  }
}

// Seeded random bars of `width` columns: prices around 100 with about one
// value in `gap_every` missing.
inline std::vector<Bar> random_bars(std::size_t count, std::size_t width, std::uint64_t seed, int gap_every = 25) {
  std::mt19937_64 gen(seed);
  std::vector<Bar> bars;
  double level = 100.0;
  for (std::size_t i = 0; i < count; ++i) {
    Bar bar;
    for (std::size_t c = 0; c < width; ++c) {
      level += static_cast<double>(static_cast<std::int64_t>(gen() % 2001) - 1000) / 500.0;
      if (level < 1.0) level = 1.0;
      bar.push_back(gen() % gap_every == 0 ? M : Value(level + static_cast<double>(c)));
    }
    bars.push_back(bar);
  }
  return bars;
}

// Seeded random high, low, open, close bars: mostly valid (high the
// largest, low the smallest), with about one bar in `gap_every` carrying a
// missing price and one in `bad_every` a zero or inverted range.
inline std::vector<Bar> range_bars(std::size_t count, std::uint64_t seed, int gap_every = 40, int bad_every = 60) {
  std::mt19937_64 gen(seed);
  std::vector<Bar> bars = random_bars(count, 2, seed, 1 << 30);
  for (Bar& b : bars) {
    const double open = *b[0], close = *b[1];
    const double spread = 1.0 + static_cast<double>(gen() % 100) / 50.0;
    Bar ohlc = {std::max(open, close) + spread, std::min(open, close) - spread / 2.0, open, close};
    if (gen() % bad_every == 0) std::swap(ohlc[0], ohlc[1]);
    if (gen() % bad_every == 0) ohlc[gen() % 4] = 0.0;
    if (gen() % gap_every == 0) ohlc[gen() % 4] = M;
    b = ohlc;
  }
  return bars;
}

// The lifecycle checks. `built` must be just constructed; its own run over
// `bars` is the reference, and must hold some present values.
inline void check_lifecycle(Feature& built, const std::vector<Bar>& bars) {
  const std::size_t need = built.values_read();
  std::unique_ptr<Feature> pristine = built.fresh();
  const Outputs expected = run(built, bars);
  std::size_t present = 0;
  for (const auto& out : expected)
    for (const Value& v : out) present += v.has_value();
  EXPECT_GT(present, 0u) << "no bar gave a value: the checks below would prove little";

  // Values beyond the ones the feature reads are ignored, whatever they hold.
  {
    std::unique_ptr<Feature> f = pristine->fresh();
    std::vector<Bar> wide = bars;
    for (Bar& b : wide) b.insert(b.end(), {M, std::nan(""), -1e300, 0.0});
    expect_same_bits(run(*f, wide), expected);
  }

  // A bar shorter than the feature reads is refused at every point of the
  // stream and leaves the feature exactly as it was.
  {
    std::unique_ptr<Feature> f = pristine->fresh();
    for (std::size_t i = 0; i < bars.size(); ++i) {
      for (std::size_t len = 0; len < need; ++len) {
        auto r = f->update(std::span<const Value>(bars[i].data(), len));
        ASSERT_FALSE(r.has_value()) << "bar " << i;
        ASSERT_EQ(r.error().message(), "Invalid input: values must hold at least " + std::to_string(need) +
                                           (need == 1 ? " value" : " values") + ", got " + std::to_string(len));
      }
      auto r = f->update(bars[i]);
      ASSERT_TRUE(r.has_value());
      for (std::size_t j = 0; j < r->size(); ++j)
        ASSERT_TRUE(same_bits((*r)[j], expected[i][j])) << "bar " << i << " output " << j;
    }
  }

  // fresh() mid-stream keeps the configuration, starts from scratch and
  // leaves its source alone.
  {
    const auto half = static_cast<std::ptrdiff_t>(bars.size() / 2);
    Outputs out = run(*pristine, std::vector<Bar>(bars.begin(), bars.begin() + half));
    std::unique_ptr<Feature> copy = pristine->fresh();
    expect_same_bits(run(*copy, bars), expected);
    Outputs rest = run(*pristine, std::vector<Bar>(bars.begin() + half, bars.end()));
    out.insert(out.end(), rest.begin(), rest.end());
    expect_same_bits(out, expected);
    EXPECT_EQ(copy->input_names(), built.input_names());
    EXPECT_EQ(copy->output_names(), built.output_names());
    EXPECT_EQ(copy->warm_up_period(), built.warm_up_period());
  }

  // reset() mid-stream and at the end: the same bars reproduce the same
  // outputs bit for bit.
  built.reset();
  run(built, std::vector<Bar>(bars.begin(), bars.begin() + static_cast<std::ptrdiff_t>(bars.size() / 3)));
  built.reset();
  expect_same_bits(run(built, bars), expected);
}

// Same length, missing exactly where expected, numbers within `tol`
// (0 asks for bit-equal values).
inline void expect_column(const Column& actual, const Column& expected, double tol = 0.0,
                          const std::string& what = "") {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(actual[i].has_value(), expected[i].has_value()) << what << " entry " << i;
    if (!expected[i]) continue;
    if (tol == 0.0)
      EXPECT_EQ(*actual[i], *expected[i]) << what << " entry " << i;
    else
      EXPECT_NEAR(*actual[i], *expected[i], tol) << what << " entry " << i;
  }
}

inline std::vector<std::span<const Value>> spans(const std::vector<Column>& cols) {
  return {cols.begin(), cols.end()};
}

// The message of a failed construction, or "" when it succeeded.
template <class R>
std::string error_of(const R& made) {
  if (made) return "";
  EXPECT_TRUE(made.error().template is<CoreError::InvalidInput>());
  return made.error().message();
}

// One stream of single-value bars through a feature built with `window`,
// and the first output expected on every bar.
struct SeqCase {
  std::size_t window;
  std::vector<Value> in;
  std::vector<Value> out;
};

// Runs every case through a feature from `make(window)`.
template <class Make>
void expect_sequences(Make&& make, const std::vector<SeqCase>& cases) {
  for (std::size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(::testing::Message() << "case " << k << ", window " << cases[k].window);
    auto f = make(cases[k].window);
    expect_values(firsts(run(f, column(cases[k].in))), cases[k].out);
  }
}

// One row of a construction-check table: names, the size parameter (window
// or horizon) and the check that must fail, "" when the configuration is
// accepted.
struct ConfigCase {
  Names inputs;
  std::size_t size;
  Names outputs;
  std::string check;
};

// Runs every row through `create(inputs, size, outputs)`: a refused row must
// be refused as invalid input with exactly "Invalid input: " + check.
template <class Create>
void expect_config_checks(Create&& create, const std::vector<ConfigCase>& cases) {
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "size " << c.size << ", expecting \"" << c.check << "\"");
    EXPECT_EQ(error_of(create(c.inputs, c.size, c.outputs)), c.check.empty() ? "" : "Invalid input: " + c.check);
  }
}

}  // namespace sarvek::testing
