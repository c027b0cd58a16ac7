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
  struct Case {
    Names inputs;
    std::size_t window;
    Names outputs;
    const char* msg;
  };
  const Case cases[] = {
      {{}, 0, {}, "inputs must not be empty"},
      {{}, 5, {"o"}, "inputs must not be empty"},
      {{"x"}, 0, {}, "outputs must not be empty"},
      {{"x"}, 0, {"o"}, "window must be >= 3"},
      {{"x"}, 1, {"o"}, "window must be >= 3"},
      {{"x"}, 2, {"o"}, "window must be >= 3"},
  };
  for (const Case& c : cases) {
    auto made = Skewness::create(c.inputs, c.window, c.outputs);
    ASSERT_FALSE(made) << c.msg;
    EXPECT_TRUE(made.error().is<CoreError::InvalidInput>());
    EXPECT_EQ(testing::message_of(made.error()), c.msg);
  }
  EXPECT_TRUE(Skewness::create({"x"}, 3, {"o"}));
}

TEST(Skewness, OnlyTheFirstValueIsRead) {
  auto f = make(3);
  auto g = make(3);
  for (double x : {1.0, 2.0, 4.0}) {
    const Value wide[] = {x, 100.0 * x, kMissing};
    const Value narrow[] = {x};
    EXPECT_TRUE(testing::same_bits((*f.update(wide))[0], (*g.update(narrow))[0]));
  }
}

TEST(Skewness, EmptyBarIsRefusedAndChangesNothing) {
  auto f = make(3);
  run(f, {1.0, 2.0});
  auto r = f.update({});
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is<CoreError::InvalidInput>());
  // Had the refused bar been buffered, this window would not be 1, 2, 4.
  EXPECT_TRUE(testing::same_bits(run(f, {4.0})[0], run(*make(3).fresh(), {1.0, 2.0, 4.0})[2]));
}

TEST(Skewness, ResetAndFreshStartOver) {
  auto f = make(3);
  run(f, {5.0, 1.0, 7.0, 2.0});
  auto copy = f.fresh();
  EXPECT_EQ(copy->input_names(), Names{"x"});
  EXPECT_EQ(copy->output_names(), Names{"skew"});
  const auto from_copy = run(*copy, {1.0, 2.0, 4.0});
  EXPECT_FALSE(from_copy[0]);
  EXPECT_FALSE(from_copy[1]);
  // The source keeps its window 7, 2 and continues from it.
  auto twin = make(3);
  EXPECT_TRUE(testing::same_bits(run(f, {3.0})[0], run(twin, {7.0, 2.0, 3.0})[2]));

  f.reset();
  const auto after = run(f, {1.0, 2.0, 4.0});
  EXPECT_FALSE(after[0]);
  EXPECT_FALSE(after[1]);
  EXPECT_TRUE(testing::same_bits(after[2], from_copy[2]));
}

}  // namespace
}  // namespace sarvek
