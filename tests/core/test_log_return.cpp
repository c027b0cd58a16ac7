#include "core/features/log_return.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using namespace sarvek::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

LogReturn make(std::size_t window) { return *LogReturn::create({"close"}, window, {"ret"}); }

TEST(LogReturn, ConstructionChecksInOrder) {
  expect_config_checks(LogReturn::create, {
      {{}, kMaxSize, {"r"}, "inputs must not be empty"},
      {{"c"}, 0, {}, "outputs must not be empty"},
      {{"c"}, 0, {"r"}, "window must be non-zero"},
      {{"c"}, kMaxSize, {"r"}, "window is too large"},
      {{"c"}, 1, {"r"}, ""},
  });
}

TEST(LogReturn, Configuration) {
  const LogReturn r = *LogReturn::create({"c"}, 7, {"r"});
  EXPECT_EQ(r.warm_up_period(), 7u);
  EXPECT_EQ(r.input_names(), (Names{"c"}));
  EXPECT_EQ(r.output_names(), (Names{"r"}));
}

TEST(LogReturn, Sequences) {
  // The quotient first, then the logarithm.
  const double ln4 = std::log(4.0 / 1.0);
  expect_sequences(make, {
      {1, {100, 110, 99}, {M, std::log(110.0 / 100.0), std::log(99.0 / 110.0)}},
      {2, {1, 2, 4, 8}, {M, M, ln4, ln4}},
      {2, {1, 2, M, 8, 16, 32}, {M, M, M, ln4, M, ln4}},
      // Both ends must be > 0.
      {1, {0, 5}, {M, M}},
      {1, {-1, 5}, {M, M}},
      {1, {5, 0}, {M, M}},
      {1, {5, -5}, {M, M}},
      {1, {NAN, 5}, {M, M}},
      {1, {5, NAN}, {M, M}},
      {1, {2, kInf}, {M, kInf}},
      {1, {kInf, 5}, {M, -kInf}},
  });
  // ln(1.1) and ln(0.9), to the last bit.
  LogReturn r = make(1);
  const auto out = firsts(run(r, column({100, 110, 99})));
  EXPECT_EQ(*out[1], std::log(1.1));
  EXPECT_EQ(*out[2], std::log(0.9));
}

TEST(LogReturn, Lifecycle) {
  for (std::size_t window : {1u, 4u, 64u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    check_lifecycle(f, random_bars(500, 1, 41 + window, 30));
  }
}

}  // namespace
}  // namespace sarvek
