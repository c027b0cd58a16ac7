#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "testing.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_return.h"

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

}  // namespace
}  // namespace sarvek
