#include "core/features/linear_slope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/regression.h"
#include "testing.h"

namespace sarvek {
namespace {

using namespace sarvek::testing;

LinearSlope make(std::size_t window) { return *LinearSlope::create({"x", "y"}, window, {"slope", "r2"}); }

std::vector<Bar> xy(const std::vector<std::pair<Value, Value>>& points) {
  std::vector<Bar> bars;
  for (const auto& [x, y] : points) bars.push_back({x, y});
  return bars;
}

TEST(LinearSlope, ConstructionChecksInOrder) {
  const std::string two_names = "outputs must contain exactly 2 names: [slope, r2]";
  expect_config_checks(LinearSlope::create, {
      {{}, 0, {}, "inputs must contain x and y columns"},
      {{"x"}, 1, {"a", "b", "c"}, "inputs must contain x and y columns"},
      {{"x", "y"}, 1, {"a", "b", "c"}, "window must be >= 2"},
      {{"x", "y"}, 0, {"a", "b"}, "window must be >= 2"},
      {{"x", "y"}, 2, {"a", "b", "c"}, two_names},
      {{"x", "y"}, 2, {"a"}, two_names},
      {{"x", "y"}, 2, {}, two_names},
      // Names are not examined.
      {{"", ""}, 2, {"s", "s"}, ""},
      {{"x", "y", "z"}, 3, {"s", "r"}, ""},
  });
}

TEST(LinearSlope, Configuration) {
  const LinearSlope f = *LinearSlope::create({"x", "y", "z"}, 20, {"s", "r"});
  EXPECT_EQ(f.warm_up_period(), 19u);
  EXPECT_EQ(f.input_names(), (Names{"x", "y", "z"}));
  EXPECT_EQ(f.output_names(), (Names{"s", "r"}));
  EXPECT_EQ(f.values_read(), 2u);
}

struct SeqCase {
  const char* what;
  std::size_t window;
  std::vector<std::pair<Value, Value>> points;
  Outputs want;
};

TEST(LinearSlope, Sequences) {
  const SeqCase cases[] = {
      {"two points", 2, {{1, 3}, {2, 5}}, {{M, M}, {2, 1}}},
      {"x constant", 3, {{2, 1}, {2, 5}, {2, 3}}, {{M, M}, {M, M}, {M, M}}},
      {"y constant", 3, {{1, 4}, {5, 4}, {3, 4}}, {{M, M}, {M, M}, {0, M}}},
      {"exact line", 4, {{0, 1.5}, {1, 1.75}, {2, 2}, {3, 2.25}, {5, 2.75}}, {{M, M}, {M, M}, {M, M}, {0.25, 1}, {0.25, 1}}},
      {"missing x", 2, {{1, 1}, {M, 2}, {3, 3}, {4, 5}}, {{M, M}, {M, M}, {M, M}, {2, 1}}},
      // A present NaN runs through the arithmetic: NaN, not missing.
      {"NaN x", 2, {{1, 1}, {NAN, 2}}, {{M, M}, {NAN, NAN}}},
      {"infinite y", 2, {{1, 1}, {2, INFINITY}}, {{M, M}, {NAN, NAN}}},
  };
  for (const SeqCase& c : cases) {
    SCOPED_TRACE(c.what);
    LinearSlope f = make(c.window);
    const Outputs got = run(f, xy(c.points));
    ASSERT_EQ(got.size(), c.want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(i);
      expect_values(got[i], c.want[i]);
    }
  }
}

TEST(LinearSlope, PointsOnALine) {
  // y = -3.1 + 0.7x with uneven x: slope and R² within rounding error.
  LinearSlope f = make(6);
  std::vector<std::pair<Value, Value>> points;
  for (double x : {0.3, 1.9, -4.2, 7.7, 2.2, 13.0, 5.5}) points.push_back({x, -3.1 + 0.7 * x});
  const Outputs got = run(f, xy(points));
  for (std::size_t i = 5; i < got.size(); ++i) {
    EXPECT_NEAR(*got[i][0], 0.7, 1e-14);
    EXPECT_NEAR(*got[i][1], 1.0, 1e-14);
  }
}

TEST(LinearSlope, MissingYBlocksExactlyTheWindowsThatHoldIt) {
  // Window 3, missing y on bar 5 (from 1): bars 5 to 7 missing, values from 8.
  LinearSlope f = make(3);
  std::vector<std::pair<Value, Value>> points;
  for (int i = 1; i <= 9; ++i) points.push_back({double(i), i == 5 ? M : Value(2.0 * i * i)});
  const Outputs got = run(f, xy(points));
  for (std::size_t i = 0; i < got.size(); ++i) {
    const bool missing = i < 2 || (i >= 4 && i <= 6);
    EXPECT_EQ(!got[i][0].has_value(), missing) << "bar " << i + 1;
    EXPECT_EQ(!got[i][1].has_value(), missing) << "bar " << i + 1;
  }
}

TEST(LinearSlope, AgreesBitForBitWithTheSharedRegression) {
  // The rolling feature and the forward target share one regression
  // routine; a window of the stream must give exactly its result.
  const std::size_t w = 7;
  const auto bars = random_bars(400, 2, 77, 60);
  LinearSlope f = make(w);
  const Outputs got = run(f, bars);
  for (std::size_t end = w; end <= bars.size(); ++end) {
    const std::size_t start = end - w;
    const Regression r = regress(
        w, [&](std::size_t i) { return bars[start + i][0]; }, [&](std::size_t i) { return bars[start + i][1]; });
    ASSERT_TRUE(same_bits(got[end - 1][0], r.slope)) << "bar " << end - 1;
    ASSERT_TRUE(same_bits(got[end - 1][1], r.r2)) << "bar " << end - 1;
  }
}

TEST(LinearSlope, Lifecycle) {
  for (std::size_t window : {2u, 5u, 40u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    check_lifecycle(f, random_bars(500, 2, 51 + window, 50));
  }
}

}  // namespace
}  // namespace sarvek
