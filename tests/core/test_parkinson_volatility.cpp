#include "core/features/parkinson_volatility.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using testing::step;

ParkinsonVolatility make(std::size_t window) {
  return *ParkinsonVolatility::create({"high", "low"}, window, {"pv"});
}

TEST(ParkinsonVolatility, SingleBarValues) {
  struct Case {
    double high, low, expected;
  };
  const double e = std::exp(1.0);
  const Case cases[] = {
      {2.0, 1.0, 0.41627730557884884},
      {e, 1.0, 0.6005612043932249},
      {2.0 * e, 2.0, 0.6005612043932249},
      {3.0, 3.0, 0.0},
  };
  for (const Case& c : cases) {
    auto f = make(1);
    EXPECT_EQ(step(f, {c.high, c.low}), c.expected) << c.high << " " << c.low;
  }
}

TEST(ParkinsonVolatility, WindowMeanOfTerms) {
  auto f = make(3);
  EXPECT_EQ(f.warm_up_period(), 2u);
  EXPECT_EQ(f.values_read(), 2u);
  EXPECT_FALSE(step(f, {2.0, 1.0}));
  EXPECT_FALSE(step(f, {4.0, 2.0}));
  const Value v = step(f, {3.0, 3.0});
  ASSERT_TRUE(v);
  const double l2 = std::log(2.0);
  EXPECT_EQ(*v, std::sqrt((((0.0 + l2 * l2) + l2 * l2) + 0.0) / 3.0 / 2.772588722239781));
  // Flat bars only: zero, a value.
  step(f, {5.0, 5.0});
  EXPECT_EQ(step(f, {1.5, 1.5}), 0.0);
}

// An invalid bar at position k blanks bars k .. k + window - 1.
class ParkinsonInvalidBar : public ::testing::TestWithParam<std::pair<Value, Value>> {};

TEST_P(ParkinsonInvalidBar, BlanksItsWindow) {
  const std::size_t w = 3;
  auto f = make(w);
  std::vector<Value> out;
  for (int i = 0; i < 4; ++i) out.push_back(step(f, {2.0, 1.0}));
  out.push_back(step(f, {GetParam().first, GetParam().second}));
  for (int i = 0; i < 4; ++i) out.push_back(step(f, {2.0, 1.0}));
  EXPECT_TRUE(out[2] && out[3]);
  for (std::size_t k = 4; k < 4 + w; ++k) EXPECT_FALSE(out[k]) << k;
  EXPECT_TRUE(out[7] && out[8]);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Bars, ParkinsonInvalidBar,
                         ::testing::Values(std::pair<Value, Value>{1.0, 2.0},       // high below low
                                           std::pair<Value, Value>{1.0, 0.0},       // zero low
                                           std::pair<Value, Value>{-1.0, -2.0},     // negative
                                           std::pair<Value, Value>{kMissing, 1.0},  // missing high
                                           std::pair<Value, Value>{2.0, kMissing},  // missing low
                                           std::pair<Value, Value>{kNaN, 1.0},      // NaN fails the tests
                                           std::pair<Value, Value>{2.0, kNaN}));

TEST(ParkinsonVolatility, ConstructionChecksInOrder) {
  testing::expect_config_checks(ParkinsonVolatility::create, {
      {{}, 0, {}, "inputs must contain high and low columns"},
      {{"high"}, 5, {"o"}, "inputs must contain high and low columns"},
      {{"high", "low"}, 0, {}, "outputs must not be empty"},
      {{"high", "low"}, 0, {"o"}, "window must be non-zero"},
      {{"h", "l", "extra"}, 20, {"a", "b"}, ""},
  });
  auto wide = ParkinsonVolatility::create({"h", "l", "extra"}, 20, {"a", "b"});
  EXPECT_EQ(wide->warm_up_period(), 19u);
  EXPECT_EQ(wide->input_names(), (Names{"h", "l", "extra"}));
  EXPECT_EQ(wide->output_names(), (Names{"a", "b"}));
}

TEST(ParkinsonVolatility, Lifecycle) {
  for (std::size_t window : {1u, 2u, 20u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    testing::check_lifecycle(f, testing::range_bars(500, 81 + window));
  }
}

}  // namespace
}  // namespace sarvek
