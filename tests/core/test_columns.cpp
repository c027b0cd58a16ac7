#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing.h"
#include "core/tools/columns.h"

namespace sarvek {
namespace {

using testing::expect_column;
using testing::M;

struct ShiftCase {
  std::ptrdiff_t k;
  Column expected;
};

TEST(Shift, LagsAndLeads) {
  const Column c{1.0, 2.0, 3.0};
  const ShiftCase cases[] = {
      {0, {1.0, 2.0, 3.0}},
      {1, {M, 1.0, 2.0}},
      {2, {M, M, 1.0}},
      {-1, {2.0, 3.0, M}},
      {-2, {3.0, M, M}},
      {3, {M, M, M}},
      {-3, {M, M, M}},
      {7, {M, M, M}},
      {std::numeric_limits<std::ptrdiff_t>::max(), {M, M, M}},
      {std::numeric_limits<std::ptrdiff_t>::min(), {M, M, M}},
  };
  for (const auto& tc : cases) expect_column(shift(c, tc.k), tc.expected, 0.0, "k=" + std::to_string(tc.k));
}

TEST(Shift, KeepsMissingAndEmpty) {
  expect_column(shift(Column{M, 2.0, M}, 1), {M, M, 2.0});
  EXPECT_TRUE(shift(Column{}, 1).empty());
  EXPECT_TRUE(shift(Column{}, -1).empty());
}

TEST(PctChange, PresenceRules) {
  const Column base{100.0, 0.0, -5.0, M, 10.0, 10.0};
  const Column later{110.0, 5.0, 5.0, 1.0, M, 0.0};
  expect_column(pct_change(base, later), {(110.0 - 100.0) / 100.0, M, M, M, M, -1.0});
}

TEST(PctChange, NanBaseIsRefusedAndLengthIsShorter) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Column out = pct_change(Column{nan, 2.0, 4.0}, Column{1.0, 3.0});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FALSE(out[0]);
  EXPECT_EQ(*out[1], 0.5);
}

TEST(LogRatio, PresenceRulesAndSingleLogarithm) {
  const Column base{1.0, 2.0, 0.0, 2.0, M, 3.0};
  const Column later{2.0, 1.0, 1.0, 0.0, 1.0, 7.0};
  const Column out = log_ratio(base, later);
  expect_column(out, {std::log(2.0), std::log(0.5), M, M, M, std::log(7.0 / 3.0)});
  EXPECT_EQ(log_ratio(Column{1.0}, Column{}).size(), 0u);
}

struct StdCase {
  Column c;
  std::size_t w;
  Column expected;
};

TEST(RollingStd, Windows) {
  const double h = std::sqrt(0.5);
  const StdCase cases[] = {
      {{1, 2, 3, 4}, 2, {M, h, h, h}},
      {{1, 2, 3, 4}, 3, {M, M, 1.0, 1.0}},
      {{1, 2, 3, 4}, 1, {M, M, M, M}},
      {{1, 2, 3, 4}, 0, {M, M, M, M}},
      {{1, 2, 3, 4}, 5, {M, M, M, M}},
      {{1, 2, 3, 4}, std::numeric_limits<std::size_t>::max(), {M, M, M, M}},
      {{5, 5, 5}, 2, {M, 0.0, 0.0}},
      {{1, M, 3, 4, 5}, 2, {M, M, M, h, h}},
      {{}, 3, {}},
  };
  for (const auto& tc : cases) expect_column(rolling_std(tc.c, tc.w), tc.expected, 1e-15);
}

TEST(RollingStd, SumsOldestToNewestFromTheMean) {
  // A reassociated or running-sum computation would differ in the last bits.
  const Column c{0.1, 0.7, 1e8, 0.3};
  const Column out = rolling_std(c, 3);
  for (std::size_t end : {2u, 3u}) {
    double sum = 0.0;
    for (std::size_t i = end - 2; i <= end; ++i) sum += *c[i];
    const double mean = sum / 3.0;
    double ss = 0.0;
    for (std::size_t i = end - 2; i <= end; ++i) ss += (*c[i] - mean) * (*c[i] - mean);
    EXPECT_EQ(*out[end], std::sqrt(ss / 2.0));
  }
}

}  // namespace
}  // namespace sarvek
