#include "core/features/kama.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using namespace sarvek::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

Kama make(std::size_t window, std::size_t fast = 2, std::size_t slow = 30) {
  return *Kama::create({"close"}, window, {"kama"}, fast, slow);
}

// The smoothing constant for an efficiency ratio, in the feature's order.
double sc_for(double er, double fast_sc, double slow_sc) {
  const double s = er * (fast_sc - slow_sc) + slow_sc;
  return s * s;
}

TEST(Kama, ConstructionChecksInOrder) {
  // fast 0 and slow 0 would fail too: the checks on names and window come first.
  expect_config_checks([](Names i, std::size_t w, Names o) { return Kama::create(i, w, o, 0, 0); }, {
      {{}, 0, {}, "inputs must not be empty"},
      {{"c"}, kMaxSize, {}, "outputs must not be empty"},
      {{"c"}, 0, {"k"}, "window must be >= 1"},
      {{"c"}, kMaxSize, {"k"}, "window is too large"},
      {{"c"}, 1, {"k"}, "fast must be >= 1"},
  });
  const struct {
    std::size_t fast, slow;
    const char* message;
  } periods[] = {
      {0, 100, "Invalid input: fast must be >= 1"},
      {30, 30, "Invalid input: slow must be > fast"},
      {31, 30, "Invalid input: slow must be > fast"},
      {1, 2, ""},
  };
  for (const auto& p : periods) EXPECT_EQ(error_of(Kama::create({"c"}, 1, {"k"}, p.fast, p.slow)), p.message);
  // Room that cannot be reserved is refused at construction, never
  // discovered by a later update.
  EXPECT_THROW((void)Kama::create({"c"}, kMaxSize - 1, {"k"}, 2, 30), std::bad_alloc);
}

TEST(Kama, Configuration) {
  const Kama k = *Kama::create({"c", "d"}, 4, {"k", "l"}, 3, 9);
  EXPECT_EQ(k.input_names(), (Names{"c", "d"}));
  EXPECT_EQ(k.output_names(), (Names{"k", "l"}));
  EXPECT_EQ(k.warm_up_period(), 4u);
  EXPECT_EQ(k.fast_sc(), 2.0 / 4.0);
  EXPECT_EQ(k.slow_sc(), 2.0 / 10.0);
  EXPECT_EQ(make(1).warm_up_period(), 1u);
}

TEST(Kama, FirstAverageStartsFromThePreviousPrice) {
  Kama k = make(2);
  const auto out = firsts(run(k, column({1, 2, 3})));
  // change 2, volatility 2, er 1, prev 2: 2 + (2/3)² × (3 − 2).
  const double sc = sc_for(1.0, 2.0 / 3.0, 2.0 / 31.0);
  expect_values(out, {M, M, sc * (3.0 - 2.0) + 2.0});
  EXPECT_NEAR(*out[2], 2.0 + 4.0 / 9.0, 1e-15);
}

TEST(Kama, MissingInputBlocksThenRestartsFromPreviousPrice) {
  Kama k = make(2);
  const auto out = firsts(run(k, column({1, 2, 3, M, 5, 6, 7, 8})));
  const double sc = sc_for(1.0, 2.0 / 3.0, 2.0 / 31.0);
  const double bar3 = sc * (3.0 - 2.0) + 2.0;
  const double bar7 = sc * (7.0 - 6.0) + 6.0;
  const double bar8 = sc * (8.0 - bar7) + bar7;
  expect_values(out, {M, M, bar3, M, M, M, bar7, bar8});
  EXPECT_NEAR(*out[6], 6.4444, 1e-4);
  EXPECT_NEAR(*out[7], 7.1358, 1e-4);
}

TEST(Kama, WindowOneEfficiencyIsOneOrZero) {
  Kama k = make(1, 3, 7);
  const auto out = firsts(run(k, column({1, 2, 2, 5})));
  const double fast = 2.0 / 4.0;
  const double slow = 2.0 / 8.0;
  const double b2 = sc_for(1.0, fast, slow) * (2.0 - 1.0) + 1.0;
  const double b3 = sc_for(0.0, fast, slow) * (2.0 - b2) + b2;
  const double b4 = sc_for(1.0, fast, slow) * (5.0 - b3) + b3;
  expect_values(out, {M, b2, b3, b4});
}

TEST(Kama, EfficiencyRatioOverTheWholeWindow) {
  // change |4 − 1| = 3, volatility 2 + 1 + 2 = 5, er 0.6, prev 2.
  Kama k = make(3);
  const auto out = firsts(run(k, column({1, 3, 2, 4})));
  const double sc = sc_for(3.0 / 5.0, 2.0 / 3.0, 2.0 / 31.0);
  expect_values(out, {M, M, M, sc * (4.0 - 2.0) + 2.0});
}

TEST(Kama, ConstantSeriesStaysConstant) {
  Kama k = make(3);
  const auto out = firsts(run(k, column({7.25, 7.25, 7.25, 7.25, 7.25, 7.25})));
  expect_values(out, {M, M, M, 7.25, 7.25, 7.25});
}

TEST(Kama, InfinitePricesRunThroughAsNumbers) {
  // |inf − 1| / inf is NaN, so the average is NaN (a number, not missing)
  // and stays NaN until a missing price clears it.
  Kama k = make(1);
  const auto out = firsts(run(k, column({1, kInf, 2, M, 3, 4})));
  ASSERT_EQ(out.size(), 6u);
  expect_values({out[0], out[1], out[2], out[3], out[4]}, {M, NAN, NAN, M, M});
  EXPECT_TRUE(out[5] && std::isfinite(*out[5]));
}

TEST(Kama, Lifecycle) {
  for (std::size_t window : {1u, 2u, 10u}) {
    SCOPED_TRACE(window);
    auto f = make(window, 3, 20);
    check_lifecycle(f, random_bars(600, 1, 21 + window, 40));
  }
}

}  // namespace
}  // namespace sarvek
