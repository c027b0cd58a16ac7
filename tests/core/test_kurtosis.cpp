#include "core/features/kurtosis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using testing::run;

Kurtosis make(std::size_t window) { return *Kurtosis::create({"x"}, window, {"kurt"}); }

TEST(Kurtosis, EvenlySpacedWindowIsExact) {
  auto f = make(4);
  EXPECT_EQ(f.warm_up_period(), 3u);
  EXPECT_EQ(f.values_read(), 1u);
  const auto out = run(f, {1.0, 2.0, 3.0, 4.0});
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(out[i]) << i;
  ASSERT_TRUE(out[3]);
  // The operation order fixes the last bits.
  EXPECT_EQ(*out[3], -1.1999999999999975);
}

TEST(Kurtosis, MatchesReference) {
  struct Case {
    std::vector<double> xs;
    double expected;
  };
  const Case cases[] = {
      {{1, 2, 3, 10}, 3.2280000000000015},
      {{10, 3, 2, 1}, 3.2280000000000015},
      {{1, 2, 3, 4, 100}, 4.986865957200654},
  };
  for (const Case& c : cases) {
    auto f = make(c.xs.size());
    Value last;
    for (double x : c.xs) last = run(f, {x})[0];
    ASSERT_TRUE(last);
    EXPECT_NEAR(*last, c.expected, 1e-12);
  }
}

TEST(Kurtosis, ZeroVarianceGivesMissing) {
  // Four 0.1s sum to exactly 0.4, so the mean is exact and the variance 0.
  for (double x : {5.0, 0.1}) {
    auto f = make(4);
    EXPECT_FALSE(run(f, {x, x, x, x})[3]) << x;
  }
}

TEST(Kurtosis, MissingInputBlanksItsWindow) {
  auto f = make(4);
  const auto out = run(f, {1.0, 2.0, kMissing, 3.0, 4.0, 5.0, 6.0, 7.0});
  for (int i = 0; i < 6; ++i) EXPECT_FALSE(out[i]) << i;
  auto a = make(4);
  auto b = make(4);
  EXPECT_TRUE(testing::same_bits(out[6], run(a, {3.0, 4.0, 5.0, 6.0})[3]));
  EXPECT_TRUE(testing::same_bits(out[7], run(b, {4.0, 5.0, 6.0, 7.0})[3]));
  ASSERT_TRUE(out[7]);
  EXPECT_NEAR(*out[7], -1.2, 1e-12);
}

TEST(Kurtosis, NonFiniteNumbersRunThrough) {
  auto f = make(4);
  const Value v = run(f, {1.0, 2.0, 3.0, std::numeric_limits<double>::quiet_NaN()})[3];
  ASSERT_TRUE(v);
  EXPECT_TRUE(std::isnan(*v));
}

TEST(Kurtosis, ConstructionChecksInOrder) {
  testing::expect_config_checks(Kurtosis::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{"x"}, 0, {}, "outputs must not be empty"},
      {{"x"}, 9, {}, "outputs must not be empty"},
      {{"x"}, 0, {"o"}, "window must be >= 4"},
      {{"x"}, 1, {"o"}, "window must be >= 4"},
      {{"x"}, 2, {"o"}, "window must be >= 4"},
      {{"x"}, 3, {"o"}, "window must be >= 4"},
      {{"x"}, 4, {"o"}, ""},
  });
}

TEST(Kurtosis, Lifecycle) {
  for (std::size_t window : {4u, 9u, 40u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    testing::check_lifecycle(f, testing::random_bars(400, 1, 71 + window, 50));
  }
  // A reset in the middle of a window starts the sample again.
  auto f = make(4);
  run(f, {9.0, 1.0, 4.0, 4.0, 2.0});
  f.reset();
  testing::expect_values(run(f, {1.0, 2.0, 3.0, 4.0}), {kMissing, kMissing, kMissing, -1.1999999999999975});
}

}  // namespace
}  // namespace sarvek
