#include "core/features/ema.h"

#include <gtest/gtest.h>

#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using namespace sarvek::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();

Ema make(std::size_t window) { return *Ema::create({"close"}, window, {"ema"}); }

TEST(Ema, ConstructionChecksInOrder) {
  expect_config_checks(Ema::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{}, 3, {"e"}, "inputs must not be empty"},
      {{"c"}, 0, {}, "outputs must not be empty"},
      {{"c"}, 0, {"e"}, "window must be non-zero"},
      {{"c"}, 1, {"e"}, ""},
      {{"c", "d"}, 5, {"e", "f", "g"}, ""},
  });
}

TEST(Ema, Configuration) {
  const Ema e = *Ema::create({"c", "d"}, 3, {"e", "f"});
  EXPECT_EQ(e.input_names(), (Names{"c", "d"}));
  EXPECT_EQ(e.output_names(), (Names{"e", "f"}));
  EXPECT_EQ(e.warm_up_period(), 2u);
  EXPECT_EQ(e.alpha(), 0.5);
  EXPECT_EQ(make(1).warm_up_period(), 0u);
  EXPECT_EQ(make(1).alpha(), 1.0);
  EXPECT_EQ(make(9).alpha(), 2.0 / 10.0);
}

TEST(Ema, Sequences) {
  expect_sequences(make, {
      // Seeded from the mean of the first three, then halfway blends.
      {3, {1, 2, 3, 4, 5}, {M, M, 2, 3, 4}},
      // A missing value in the seeded state restarts the seed.
      {3, {1, 2, 3, M, 4, 5, 6, 7}, {M, M, 2, M, M, M, 5, 6}},
      // A missing value while seeding spoils the whole collection.
      {3, {1, M, 3, 4, 5, 6}, {M, M, M, M, M, 5}},
      {3, {M, M, M, 1, 2, 3}, {M, M, M, M, M, 2}},
      // Window 1 follows its input; a missing value gives a missing output.
      {1, {4, -2.5, M, 7}, {4, -2.5, M, 7}},
      // With window 1 an infinite average times 1 - alpha = 0 is NaN.
      {1, {1, kInf, 2, 3, M, 5}, {1, kInf, NAN, NAN, M, 5}},
      // Opposite infinities give NaN, which sticks until a missing value.
      {2, {1, 3, kInf, 4, -kInf, 1, M, 1, 3}, {M, 2, kInf, kInf, NAN, NAN, M, M, 2}},
      // An infinity inside the seed makes the seed infinite.
      {2, {kInf, 1, 1}, {M, kInf, kInf}},
  });
}

TEST(Ema, BlendIsOneMinusAlphaTimesPreviousPlusAlphaTimesInput) {
  // Window 4: alpha 0.4, 1 - alpha formed on each bar. Values chosen so
  // that other arrangements of the blend round differently.
  Ema e = make(4);
  const std::vector<Value> in = {0.1, 0.7, 0.3, 1.9, 2.2, 0.35, 1e-3, 7.77};
  const auto out = firsts(run(e, column(in)));
  const double alpha = 2.0 / (4.0 + 1.0);
  double p = (((0.0 + 0.1) + 0.7) + 0.3 + 1.9) / 4.0;
  ASSERT_TRUE(out[3]);
  EXPECT_EQ(*out[3], p);
  bool differs_from_other_form = false;
  for (std::size_t i = 4; i < in.size(); ++i) {
    const double x = *in[i];
    const double other = p + alpha * (x - p);
    p = (1.0 - alpha) * p + alpha * x;
    differs_from_other_form = differs_from_other_form || other != p;
    ASSERT_TRUE(out[i]);
    EXPECT_EQ(*out[i], p) << "bar " << i;
  }
  EXPECT_TRUE(differs_from_other_form);
}

TEST(Ema, Lifecycle) {
  for (std::size_t window : {1u, 2u, 5u, 30u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    check_lifecycle(f, random_bars(600, 1, 11 + window, 40));
  }
}

}  // namespace
}  // namespace sarvek
