#include "core/features/skewness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

#include "testing.h"

namespace sarvek {
namespace {

using testing::run;

Skewness make(std::size_t window) { return *Skewness::create({"x"}, window, {"skew"}); }

TEST(Skewness, WarmUpThenValues) {
  auto f = make(3);
  EXPECT_EQ(f.warm_up_period(), 2u);
  EXPECT_EQ(f.values_read(), 1u);
  const auto out = run(f, {1.0, 2.0, 3.0, 4.0});
  EXPECT_FALSE(out[0]);
  EXPECT_FALSE(out[1]);
  EXPECT_EQ(out[2], 0.0);
  EXPECT_EQ(out[3], 0.0);
}

struct KnownWindow {
  std::vector<double> xs;
  double expected;
};

void PrintTo(const KnownWindow& w, std::ostream* os) {
  const char* sep = "";
  for (double x : w.xs) *os << std::exchange(sep, ",") << x;
}

class SkewnessKnown : public ::testing::TestWithParam<KnownWindow> {};

TEST_P(SkewnessKnown, MatchesReference) {
  const auto& p = GetParam();
  auto f = make(p.xs.size());
  Value last;
  for (double x : p.xs) last = run(f, {x})[0];
  ASSERT_TRUE(last);
  EXPECT_NEAR(*last, p.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Windows, SkewnessKnown,
                         ::testing::Values(KnownWindow{{1, 2, 4}, 0.9352195295828235},
                                           KnownWindow{{1, 2, 3, 10}, 1.763632614803888},
                                           KnownWindow{{2, 4, 8}, 0.9352195295828235},
                                           KnownWindow{{-4, -2, -1}, -0.9352195295828235}));

TEST(Skewness, ZeroVarianceIsExact) {
  auto flat = make(3);
  EXPECT_FALSE(run(flat, {1.0, 1.0, 1.0})[2]);
  // 0.1 + 0.1 + 0.1 is inexact, so the mean misses 0.1 by the last bit and
  // the variance is tiny but not zero: the skewness is a number.
  auto tenths = make(3);
  const Value v = run(tenths, {0.1, 0.1, 0.1})[2];
  ASSERT_TRUE(v);
  EXPECT_NEAR(*v, -2.449489742783178, 1e-9);
}

TEST(Skewness, MissingInputBlanksItsWindow) {
  auto f = make(3);
  const auto out = run(f, {1.0, kMissing, 2.0, 4.0, 8.0});
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(out[i]) << i;
  auto clean = make(3);
  EXPECT_TRUE(testing::same_bits(out[4], run(clean, {2.0, 4.0, 8.0})[2]));
}

TEST(Skewness, NonFiniteNumbersRunThrough) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double bad : {inf, nan}) {
    auto f = make(3);
    const Value v = run(f, {1.0, 2.0, bad})[2];
    ASSERT_TRUE(v) << bad;
    EXPECT_TRUE(std::isnan(*v));
  }
}

TEST(Skewness, ConstructionChecksInOrder) {
  testing::expect_config_checks(Skewness::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{}, 5, {"o"}, "inputs must not be empty"},
      {{"x"}, 0, {}, "outputs must not be empty"},
      {{"x"}, 0, {"o"}, "window must be >= 3"},
      {{"x"}, 1, {"o"}, "window must be >= 3"},
      {{"x"}, 2, {"o"}, "window must be >= 3"},
      {{"x"}, 3, {"o"}, ""},
  });
}

TEST(Skewness, Lifecycle) {
  for (std::size_t window : {3u, 8u, 40u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    testing::check_lifecycle(f, testing::random_bars(400, 1, 61 + window, 50));
  }
}

}  // namespace
}  // namespace sarvek
