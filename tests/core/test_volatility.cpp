#include <gtest/gtest.h>

#include <cmath>

#include "core/features/garman_klass_volatility.h"
#include "core/features/yang_zhang_volatility.h"
#include "testing.h"

namespace sarvek {
namespace {

const Names kFour = {"h", "l", "o", "c"};

// fresh() and reset() drop the previous close too: a stream run again, or
// from a fresh copy, repeats its bits.
TEST(RangeVolatility, Lifecycle) {
  for (std::size_t window : {2u, 3u, 20u}) {
    SCOPED_TRACE(window);
    auto gk = *GarmanKlassVolatility::create(kFour, window, {"gk"});
    testing::check_lifecycle(gk, testing::range_bars(500, 17 + window));
    auto yz = *YangZhangVolatility::create(kFour, window, {"yz"});
    testing::check_lifecycle(yz, testing::range_bars(500, 29 + window));
  }
}

// Bars repeating one shape: the overnight and open-to-close returns never
// vary, so the variance is (1 - k) times the Rogers-Satchell term alone,
// which makes a negative term give no value.
TEST(RangeVolatility, YangZhangOfConstantReturnsIsItsRogersSatchellPart) {
  const double k = 0.34 / (1.34 + 4.0 / 2.0);  // window 3
  auto yz = *YangZhangVolatility::create(kFour, 3, {"yz"});
  const double rs = std::log(4.0 / 3.0) * std::log(4.0 / 2.0) + std::log(1.0 / 3.0) * std::log(1.0 / 2.0);
  for (int i = 0; i < 6; ++i) {
    const Value v = testing::step(yz, {4.0, 1.0, 2.0, 3.0});
    if (i < 3) {
      EXPECT_FALSE(v) << i;
    } else {
      ASSERT_TRUE(v) << i;
      EXPECT_NEAR(*v, std::sqrt((1.0 - k) * rs), 1e-15);
    }
  }
  auto negative = *YangZhangVolatility::create(kFour, 2, {"yz"});
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(testing::step(negative, {2.0, 1.0, 0.5, 4.0})) << i;
}

}  // namespace
}  // namespace sarvek
