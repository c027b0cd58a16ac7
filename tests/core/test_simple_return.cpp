#include "core/features/simple_return.h"

#include <gtest/gtest.h>

#include <limits>

#include "testing.h"

namespace sarvek {
namespace {

using namespace sarvek::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

SimpleReturn make(std::size_t window) { return *SimpleReturn::create({"close"}, window, {"ret"}); }

TEST(SimpleReturn, ConstructionChecksInOrder) {
  expect_config_checks(SimpleReturn::create, {
      {{}, 0, {}, "inputs must not be empty"},
      {{"c"}, kMaxSize, {}, "outputs must not be empty"},
      {{"c"}, 0, {"r"}, "window must be non-zero"},
      {{"c"}, kMaxSize, {"r"}, "window is too large"},
      {{"c", "d"}, 1, {"r", "s"}, ""},
  });
  EXPECT_THROW((void)SimpleReturn::create({"c"}, kMaxSize - 1, {"r"}), std::bad_alloc);
}

TEST(SimpleReturn, Configuration) {
  const SimpleReturn r = *SimpleReturn::create({"c", "d"}, 5, {"r", "s"});
  EXPECT_EQ(r.input_names(), (Names{"c", "d"}));
  EXPECT_EQ(r.output_names(), (Names{"r", "s"}));
  EXPECT_EQ(r.warm_up_period(), 5u);
  EXPECT_EQ(r.values_read(), 1u);
}

TEST(SimpleReturn, Sequences) {
  expect_sequences(make, {
      {1, {100, 110, 99}, {M, 0.1, -0.1}},
      {2, {1, 2, 4, 8}, {M, M, 3, 3}},
      // A missing value spoils its own bar (as now) and the bar `window`
      // later (as then), nothing else.
      {2, {1, 2, M, 8, 16, 32}, {M, M, M, 3, M, 3}},
      // then must be > 0; now is unrestricted.
      {1, {0, 5}, {M, M}},
      {1, {-1, 5}, {M, M}},
      {1, {5, 0}, {M, -1}},
      {1, {5, -5}, {M, -2}},
      {1, {2, kInf}, {M, kInf}},
      {1, {kInf, 5}, {M, NAN}},
      // A present NaN: never > 0 as then; as now it runs through.
      {1, {NAN, 5}, {M, M}},
      {1, {5, NAN}, {M, NAN}},
  });
}

TEST(SimpleReturn, Lifecycle) {
  for (std::size_t window : {1u, 3u, 50u}) {
    SCOPED_TRACE(window);
    auto f = make(window);
    check_lifecycle(f, random_bars(500, 1, 31 + window, 30));
  }
}

}  // namespace
}  // namespace sarvek
