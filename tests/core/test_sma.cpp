#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/features/sma.h"
#include "testing.h"

namespace sarvek {
namespace {

using testing::M;

Sma make(std::size_t window, Names outputs = {"sma"}) { return *Sma::create({"close"}, window, std::move(outputs)); }

const double inf = std::numeric_limits<double>::infinity();
const Value nan_number = std::nan("");  // a present NaN, which only a pipeline can feed

TEST(Sma, MatchesTheWindowMean) {
  testing::expect_sequences([](std::size_t window) { return make(window); }, {
      {1, {1.0, M, 3.0}, {1.0, M, 3.0}},
      {3, {1.0, 2.0, 3.0, 4.0, 5.0}, {M, M, 2.0, 3.0, 4.0}},
      {3, {1.0, M, 3.0, 4.0, 5.0, 6.0}, {M, M, M, M, 4.0, 5.0}},
      {3, {1.0, inf, 3.0}, {M, M, inf}},
      // opposite infinities give a NaN number, not missing
      {2, {inf, -inf}, {M, nan_number}},
      {2, {nan_number, 1.0, 2.0}, {M, nan_number, 1.5}},
  });
}

TEST(Sma, ChecksInOrder) {
  testing::expect_config_checks(Sma::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{"a"}, 0, {}, "outputs must not be empty"},
      {{"a"}, 0, {"o"}, "window must be non-zero"},
      {{"", ""}, 1, {"", "x", "y"}, ""},
  });
}

TEST(Sma, Lifecycle) {
  Sma s = make(7);
  EXPECT_EQ(s.warm_up_period(), 6u);
  testing::check_lifecycle(s, testing::random_bars(300, 2, 11));
}

TEST(Sma, ReadsOnlyTheFirstValueAndFillsOneOutput) {
  Sma s = make(1, {"a", "b", "c"});
  const Value bar[] = {5.0, M, 7.0};
  auto r = s.update(bar);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(*(*r)[0], 5.0);
  EXPECT_EQ(s.output_names().size(), 3u);
}

TEST(Sma, SumsOldestToNewestFromZero) {
  Sma s = make(3);
  const auto out = testing::firsts(testing::run(s, testing::column({0.1, 0.7, 0.2, 0.9})));
  EXPECT_EQ(*out[2], ((0.0 + 0.1) + 0.7 + 0.2) / 3.0);
  EXPECT_EQ(*out[3], ((0.0 + 0.7) + 0.2 + 0.9) / 3.0);
}

}  // namespace
}  // namespace sarvek
