#include "core/features/rogers_satchell_volatility.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

#include "testing.h"

namespace sarvek {
namespace {

using testing::step;

RogersSatchellVolatility make(std::size_t window) {
  return *RogersSatchellVolatility::create({"high", "low", "open", "close"}, window, {"rs"});
}

struct Bar {
  Value h, l, o, c;
};

void PrintTo(const Bar& b, std::ostream* os) {
  const char* sep = "";
  for (const Value& v : {b.h, b.l, b.o, b.c}) {
    *os << std::exchange(sep, ",");
    if (v) {
      *os << *v;
    } else {
      *os << "missing";
    }
  }
}

Value step_bar(RogersSatchellVolatility& f, const Bar& b) { return step(f, {b.h, b.l, b.o, b.c}); }

TEST(RogersSatchellVolatility, KnownBar) {
  auto f = make(1);
  EXPECT_EQ(f.warm_up_period(), 0u);
  EXPECT_EQ(f.values_read(), 4u);
  EXPECT_EQ(step_bar(f, {2.0, 1.0, 1.5, 1.5}), 0.49715483373222585);
}

TEST(RogersSatchellVolatility, MeanMustBePositive) {
  struct Case {
    Bar bar;
    bool present;
  };
  const Case cases[] = {
      {{2.0, 1.0, 1.0, 2.0}, false},  // open at the low, close at the high: term 0
      {{2.0, 2.0, 2.0, 2.0}, false},  // flat bar: term 0
      {{2.0, 1.0, 3.0, 3.0}, true},   // open and close above the high: still valid
      {{2.0, 1.0, 0.5, 4.0}, false},  // outside the range with a negative term
  };
  for (const Case& c : cases) {
    auto f = make(1);
    EXPECT_EQ(step_bar(f, c.bar).has_value(), c.present) << *c.bar.o << " " << *c.bar.c;
  }
  // A negative term in a window whose mean stays positive does not matter.
  auto f = make(2);
  step_bar(f, {2.0, 1.0, 0.5, 4.0});
  const Value v = step_bar(f, {8.0, 1.0, 1.0, 1.0});
  ASSERT_TRUE(v);
  EXPECT_GT(*v, 0.0);
}

class RogersSatchellInvalidBar : public ::testing::TestWithParam<Bar> {};

TEST_P(RogersSatchellInvalidBar, BlanksItsWindow) {
  const std::size_t w = 2;
  auto f = make(w);
  const Bar good{2.0, 1.0, 1.5, 1.5};
  EXPECT_FALSE(step_bar(f, good));
  EXPECT_TRUE(step_bar(f, good));
  EXPECT_FALSE(step_bar(f, GetParam()));
  EXPECT_FALSE(step_bar(f, good));
  EXPECT_TRUE(step_bar(f, good));
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Bars, RogersSatchellInvalidBar,
                         ::testing::Values(Bar{1.0, 2.0, 1.5, 1.5},       // high below low
                                           Bar{2.0, 0.0, 1.5, 1.5},       // zero low
                                           Bar{2.0, 1.0, 0.0, 1.5},       // zero open
                                           Bar{2.0, 1.0, 1.5, -1.0},      // negative close
                                           Bar{kMissing, 1.0, 1.5, 1.5},  // missing high
                                           Bar{2.0, 1.0, 1.5, kMissing},  // missing close
                                           Bar{2.0, 1.0, kNaN, 1.5}));    // NaN fails the tests

TEST(RogersSatchellVolatility, ConstructionChecksInOrder) {
  const Names four = {"h", "l", "o", "c"};
  testing::expect_config_checks(RogersSatchellVolatility::create, {
      {{}, 0, {}, "inputs must contain high, low, open, and close columns"},
      {{"h", "l", "o"}, 5, {"x"}, "inputs must contain high, low, open, and close columns"},
      {four, 0, {}, "window must be non-zero"},
      {four, 1, {}, "outputs must not be empty"},
      {four, 20, {"x"}, ""},
  });
  EXPECT_EQ(RogersSatchellVolatility::create(four, 20, {"x"})->warm_up_period(), 19u);
}

TEST(RogersSatchellVolatility, Lifecycle) {
  for (std::size_t window : {1u, 2u, 20u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    testing::check_lifecycle(f, testing::range_bars(500, 91 + window));
  }
}

}  // namespace
}  // namespace sarvek
