#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include <random>

#include "testing.h"
#include "core/catalog.h"
#include "core/features/linear_slope.h"
#include "core/regression.h"
#include "core/simd/kernels.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_extremes.h"
#include "core/targets/future_return.h"
#include "core/targets/triple_barrier.h"

namespace sarvek {
namespace {

using testing::expect_column;
using testing::M;
using testing::spans;

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

template <class T>
std::vector<Column> run(const T& target, const std::vector<Column>& cols) {
  auto out = target.compute(spans(cols));
  EXPECT_TRUE(out.has_value()) << (out ? "" : out.error().message());
  return out ? std::move(*out) : std::vector<Column>{};
}

template <class T>
std::string refusal(const T& target, const std::vector<Column>& cols) {
  auto out = target.compute(spans(cols));
  return out ? "accepted" : out.error().message();
}

// ------------------------------------------------------------ FutureReturn

TEST(FutureReturn, ChecksInOrder) {
  testing::expect_config_checks(FutureReturn::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{"close"}, 0, {}, "horizon must be > 0"},
      {{"close"}, 1, {}, "outputs must not be empty"},
      // Names are not examined.
      {{""}, 1, {"", ""}, ""},
  });
}

struct SeriesCase {
  Column prices;
  std::size_t horizon;
  Column expected;
};

TEST(FutureReturn, Labels) {
  const SeriesCase cases[] = {
      {{100, 110, 99}, 1, {0.1, -0.1, M}},
      {{100, 110, 121, 133.1}, 2, {0.21, 0.21, M, M}},
      // A bad price as base is missing; as the later value it is used.
      {{100, 0, 50, -10, 20}, 1, {-1.0, M, -1.2, M, M}},
      {{100, M, 50, 25}, 1, {M, M, -0.5, M}},
      {{1, 2, 3}, 3, {M, M, M}},
      {{1, 2, 3}, kHuge, {M, M, M}},
      {{}, 2, {}},
  };
  for (const auto& tc : cases) {
    auto target = FutureReturn::create({"close"}, tc.horizon, {"ret"});
    ASSERT_TRUE(target);
    const auto out = run(*target, {tc.prices});
    ASSERT_EQ(out.size(), 1u);
    expect_column(out[0], tc.expected, 1e-12);
  }
}

TEST(FutureReturn, ReadsFirstColumnOnlyAndComputesOneColumn) {
  auto target = FutureReturn::create({"close", "volume"}, 1, {"a", "b", "c"});
  ASSERT_TRUE(target);
  EXPECT_EQ(target->forward_period(), 1u);
  const auto out = run(*target, {{1.0, 2.0}, {}});
  ASSERT_EQ(out.size(), 1u);
  expect_column(out[0], {1.0, M});
  EXPECT_EQ(refusal(*target, {}), "Invalid input: columns must hold at least 1 column, got 0");
}

// ----------------------------------------------------- FutureCTCVolatility

TEST(FutureCTCVolatility, ChecksAndDerivedName) {
  auto empty = FutureCTCVolatility::create("", 0);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "Invalid input: input must not be empty");
  auto zero = FutureCTCVolatility::create("close", 0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().message(), "Invalid input: horizon must be > 0");

  auto t = FutureCTCVolatility::create("close", 20);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->input_names(), Names{"close"});
  EXPECT_EQ(t->output_names(), Names{"close_future_ctc_vol_20"});
  EXPECT_EQ(t->forward_period(), 20u);
  EXPECT_EQ(FutureCTCVolatility::create("c", kHuge)->output_names(),
            Names{"c_future_ctc_vol_18446744073709551615"});
}

TEST(FutureCTCVolatility, Labels) {
  const double alt = std::sqrt(2.0) * std::log(2.0);
  const SeriesCase cases[] = {
      {{100, 110, 121, 133.1}, 2, {0.0, 0.0, M, M}},
      {{1, 2, 1, 2, 1}, 2, {alt, alt, alt, M, M}},
      {{1, 2, 1, 2, 1}, 1, {M, M, M, M, M}},
      {{1, 2, 1}, 3, {M, M, M}},
      {{1, 2, 1}, kHuge, {M, M, M}},
      {{}, 2, {}},
      // A bad close on bar 4 spoils the windows that touch it: bars 2..4.
      {{1, 2, 1, 2, 0, 2, 1, 2}, 2, {alt, alt, M, M, M, alt, M, M}},
      {{1, 2, 1, 2, M, 2, 1, 2}, 2, {alt, alt, M, M, M, alt, M, M}},
  };
  for (const auto& tc : cases) {
    auto target = FutureCTCVolatility::create("close", tc.horizon);
    ASSERT_TRUE(target);
    const auto out = run(*target, {tc.prices});
    ASSERT_EQ(out.size(), 1u);
    expect_column(out[0], tc.expected, 1e-15);
  }
  EXPECT_EQ(refusal(*FutureCTCVolatility::create("close", 2), {}),
            "Invalid input: columns must hold at least 1 column, got 0");
}

// ------------------------------------------------------- FutureLinearSlope

TEST(FutureLinearSlope, ChecksInOrder) {
  const std::string two_names = "outputs must contain exactly 2 names: [slope, r2]";
  testing::expect_config_checks(FutureLinearSlope::create, {
      {{"x"}, 1, {"a", "b", "c"}, "inputs must contain x and y columns"},
      {{"x", ""}, 1, {"a"}, "input names must not be empty"},
      {{"x", "y", ""}, 2, {"s", "r"}, "input names must not be empty"},
      {{"x", "y"}, 1, {"a", "b", "c"}, "horizon must be >= 2"},
      {{"x", "y"}, 2, {"s"}, two_names},
      {{"x", "y"}, 2, {"s", "r", "t"}, two_names},
      {{"x", "y"}, 2, {"s", "r"}, ""},
  });
}

struct SlopeCase {
  Column x;
  Column y;
  std::size_t horizon;
  Column slope;
  Column r2;
};

TEST(FutureLinearSlope, Labels) {
  const SlopeCase cases[] = {
      {{0, 1, 2, 3}, {10, 12, 15, 15}, 2, {2, 3, 0, M}, {1, 1, M, M}},
      // Constant x in the window of bar 0.
      {{1, 1, 2}, {1, 2, 3}, 2, {M, 1, M}, {M, 1, M}},
      {{0, 1, 2}, {0, 2, 4}, 3, {2, M, M}, {1, M, M}},
      {{0, 1}, {0, 2}, 3, {M, M}, {M, M}},
      {{0, 1}, {0, 2}, kHuge, {M, M}, {M, M}},
      // A missing y at bar 3 with horizon 2 spoils bars 2 and 3.
      {{0, 1, 2, 3, 4, 5}, {0, 1, 2, M, 4, 5}, 2, {1, 1, M, M, 1, M}, {1, 1, M, M, 1, M}},
      // y longer than x: results as long as x.
      {{0, 1, 2}, {0, 3, 6, 100, 100}, 2, {3, 3, M}, {1, 1, M}},
      // y shorter than x is fine when no window fits at all.
      {{0, 1}, {0}, 3, {M, M}, {M, M}},
  };
  for (const auto& tc : cases) {
    auto target = FutureLinearSlope::create({"x", "y"}, tc.horizon, {"s", "r"});
    ASSERT_TRUE(target);
    const auto out = run(*target, {tc.x, tc.y});
    ASSERT_EQ(out.size(), 2u);
    expect_column(out[0], tc.slope, 1e-12, "slope");
    expect_column(out[1], tc.r2, 1e-12, "r2");
  }
}

TEST(FutureLinearSlope, TailIsOneShorterThanForwardPeriod) {
  auto target = FutureLinearSlope::create({"x", "y", "unused"}, 5, {"s", "r"});
  ASSERT_TRUE(target);
  EXPECT_EQ(target->forward_period(), 5u);
  EXPECT_EQ(target->input_names(), (Names{"x", "y", "unused"}));
  Column x, y;
  for (int i = 0; i < 10; ++i) {
    x.push_back(i);
    y.push_back(3.0 * i + (i % 2));
  }
  const auto out = run(*target, {x, y});
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(out[0][i].has_value(), i < 6) << i;
}

TEST(FutureLinearSlope, RefusesColumnsItCannotRead) {
  auto target = FutureLinearSlope::create({"x", "y"}, 2, {"s", "r"});
  ASSERT_TRUE(target);
  EXPECT_EQ(refusal(*target, {{1, 2, 3}}), "Invalid input: columns must hold at least 2 columns, got 1");
  EXPECT_EQ(refusal(*target, {{1, 2, 3}, {1, 2}}),
            "Invalid input: y column must hold at least 3 values, got 2");
  EXPECT_EQ(refusal(*target, {{1, 2}, {}}), "Invalid input: y column must hold at least 2 values, got 0");
}

// ------------------------------------------------- the engine's columns

// Runs `body` once on every SIMD path this CPU has.
template <class Body>
void on_every_path(Body&& body) {
  const std::string best = simd::current_path();
  for (const std::string& path : simd::available_paths()) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(simd::set_path(path));
    body();
  }
  simd::set_path(best);
}

// Prices with gaps, zeros, negatives, a present NaN and an infinity.
Column awkward_prices(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Column c(n);
  double price = 100.0;
  for (std::size_t i = 0; i < n; ++i) {
    price *= std::exp((u(rng) - 0.5) * 0.02);
    const double r = u(rng);
    c[i] = r < 0.02   ? M
           : r < 0.03 ? Value(0.0)
           : r < 0.04 ? Value(-price)
           : r < 0.045 ? Value(std::nan(""))
           : r < 0.05 ? Value(INFINITY)
           : r < 0.08 ? Value(100.0)  // runs of flat prices
                      : Value(price);
  }
  return c;
}

// Every target's labels over values + validity, for the first `labels`
// bars, are compute()'s over the same entries, bit for bit, on every path.
TEST(TargetColumns, LabelColumnsAreComputesLabelsOnEveryPath) {
  for (std::size_t h : {1, 2, 3, 7, 40}) {
    const std::size_t n = 3 * h + 29;
    const Column x = awkward_prices(n, h), y = awkward_prices(n, h + 1000);
    std::vector<std::unique_ptr<Target>> targets;
    targets.push_back(std::make_unique<FutureReturn>(*FutureReturn::create({"x"}, h, {"r"})));
    targets.push_back(std::make_unique<FutureCTCVolatility>(*FutureCTCVolatility::create("x", h)));
    if (h >= 2)
      targets.push_back(std::make_unique<FutureLinearSlope>(*FutureLinearSlope::create({"x", "y"}, h, {"s", "r"})));
    // The package's types from the catalogue, at their defaults, reading x
    // and y where they read two columns.
    for (const TargetDescription* d : target_catalog()) {
      if (d->visibility == Visibility::module) continue;
      Arguments args;
      for (const ParamDescription& p : d->params) {
        if (p.kind == ParamKind::real) args.emplace_back(*p.default_real);
        else if (p.kind == ParamKind::count) args.emplace_back(h);
        else if (std::string(p.name) == "inputs") args.emplace_back(Names{"x", "y"});
        else args.emplace_back(Names(std::max<std::size_t>(p.minimum, 1), std::string(d->name)));
      }
      auto made = d->make(std::move(args));
      ASSERT_TRUE(made) << d->name << ": " << made.error().message();
      targets.push_back(std::move(*made));
    }
    std::vector<double> xv(n), yv(n);
    std::vector<std::uint8_t> xok(n), yok(n);
    for (std::size_t i = 0; i < n; ++i) {
      xok[i] = x[i].has_value(), yok[i] = y[i].has_value();
      xv[i] = x[i].value_or(-7.0), yv[i] = y[i].value_or(-7.0);  // never read as numbers
    }
    const ColumnIn in[] = {{xv.data(), xok.data()}, {yv.data(), yok.data()}};
    on_every_path([&] {
      for (const auto& t : targets) {
        SCOPED_TRACE(t->output_names()[0] + " horizon " + std::to_string(h));
        const auto want = run(*t, {x, y});
        for (std::size_t labels : {n, n - h / 2, std::size_t{1}}) {
          std::vector<std::vector<double>> v(2, std::vector<double>(n, 5.0));
          std::vector<std::vector<std::uint8_t>> ok(2, std::vector<std::uint8_t>(n, 9));
          const ColumnOut out[] = {{v[0].data(), ok[0].data()}, {v[1].data(), ok[1].data()}};
          const auto made = t->label_columns(n, in, labels, std::span(out, want.size()));
          ASSERT_TRUE(made);
          ASSERT_EQ(*made, want.size());
          for (std::size_t k = 0; k < want.size(); ++k) {
            for (std::size_t i = 0; i < labels; ++i) {
              const Value got = ok[k][i] ? Value(v[k][i]) : M;
              ASSERT_TRUE(ok[k][i] <= 1 && testing::same_bits(got, want[k][i])) << "column " << k << " bar " << i;
            }
            if (labels < n) {
              EXPECT_EQ(ok[k][labels], 9) << "written past the labels asked for";
            }
          }
        }
      }
    });
  }
}

// The forward regression is the rolling one read h - 1 bars later, and each
// window is the one-window reference's regression, bit for bit.
TEST(FutureLinearSlope, IsTheRollingRegressionOfTheSameWindowOnEveryPath) {
  const std::size_t n = 300;
  const Column x = awkward_prices(n, 5), y = awkward_prices(n, 6);
  for (std::size_t h : {2, 3, 8, 21}) {
    on_every_path([&] {
      const auto fwd = run(*FutureLinearSlope::create({"x", "y"}, h, {"s", "r"}), {x, y});
      ASSERT_EQ(fwd.size(), 2u);
      LinearSlope rolling = *LinearSlope::create({"x", "y"}, h, {"s", "r"});
      std::vector<Values> trailing;
      for (std::size_t i = 0; i < n; ++i) trailing.push_back(*rolling.update(std::vector<Value>{x[i], y[i]}));
      for (std::size_t i = 0; i < n; ++i) {
        if (i + h > n) {
          ASSERT_FALSE(fwd[0][i] || fwd[1][i]) << "bar " << i;
          continue;
        }
        const Regression r = regress(h, [&](std::size_t j) { return x[i + j]; }, [&](std::size_t j) { return y[i + j]; });
        ASSERT_TRUE(testing::same_bits(fwd[0][i], r.slope) && testing::same_bits(fwd[1][i], r.r2))
            << "horizon " << h << " bar " << i;
        // A feature writes every NaN as the one quiet NaN; a target keeps
        // the NaN its arithmetic gave.
        auto one_nan = [](Value v) { return v && *v != *v ? Value(Feature::one_nan()) : v; };
        ASSERT_TRUE(testing::same_bits(one_nan(fwd[0][i]), trailing[i + h - 1][0]) &&
                    testing::same_bits(one_nan(fwd[1][i]), trailing[i + h - 1][1]))
            << "horizon " << h << " bar " << i;
      }
    });
  }
}

}  // namespace
}  // namespace sarvek

namespace sarvek {
namespace {

// A present NaN reaches a target only from inside the core (Python reads a
// NaN as missing): each package target against a plain loop of its
// definition over prices holding present NaNs, infinities, zeros and gaps.
TEST(PackageTargets, MatchTheirDefinitionsWithPresentNaNs) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto ret = [](double a, double b) { return (b - a) / a; };
  for (std::size_t h : {1, 2, 5, 17}) {
    const std::size_t n = 4 * h + 90;
    const Column p = awkward_prices(n, 77 + h);
    const auto extremes = run(*FutureExtremes::create({"p"}, h, {"hi", "lo"}), {p});
    const auto barrier = run(*TripleBarrier::create({"p"}, h, {"l", "b"}, 0.01, 0.015), {p});
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("horizon " + std::to_string(h) + " bar " + std::to_string(i));
      const bool base_ok = p[i] && *p[i] > 0.0;
      // FutureExtremes: the extremes of the returns, a NaN return winning.
      Value hi = M, lo = M;
      if (base_ok && i + h < n) {
        double h_ = -INFINITY, l_ = INFINITY;
        bool complete = true, any_nan = false;
        for (std::size_t j = 1; j <= h; ++j) {
          if (!p[i + j]) { complete = false; break; }
          const double r = ret(*p[i], *p[i + j]);
          any_nan = any_nan || r != r;
          h_ = std::max(h_, r), l_ = std::min(l_, r);
        }
        if (complete) hi = any_nan ? nan : h_, lo = any_nan ? nan : l_;
      }
      ASSERT_TRUE(testing::same_bits(extremes[0][i], hi) && testing::same_bits(extremes[1][i], lo));
      // TripleBarrier: the first touch, a NaN return stopping the walk.
      Value label = M, bars = M;
      if (base_ok) {
        std::size_t j = 1;
        for (; j <= h && i + j < n && p[i + j]; ++j) {
          const double r = ret(*p[i], *p[i + j]);
          if (r != r) { label = nan, bars = nan; break; }
          if (r >= 0.01) { label = 1.0, bars = double(j); break; }
          if (r <= -0.015) { label = -1.0, bars = double(j); break; }
        }
        if (!label && j > h) label = 0.0, bars = double(h);
      }
      ASSERT_TRUE(testing::same_bits(barrier[0][i], label) && testing::same_bits(barrier[1][i], bars));
    }
  }
}

}  // namespace
}  // namespace sarvek
