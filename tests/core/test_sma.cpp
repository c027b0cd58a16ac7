#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/features/sma.h"

namespace sarvek {
namespace {

Sma make(std::size_t window, Names outputs = {"sma"}) { return *Sma::create({"close"}, window, std::move(outputs)); }

// Feeds one value per bar and returns the outputs; NaN stands for missing.
std::vector<double> feed(Feature& f, const std::vector<Value>& in) {
  std::vector<double> out;
  for (const Value& v : in) {
    auto r = f.update(std::span<const Value>(&v, 1));
    EXPECT_TRUE(r.has_value());
    EXPECT_EQ(r->size(), 1u);
    out.push_back((*r)[0] ? *(*r)[0] : std::nan(""));
  }
  return out;
}

void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i]))
      EXPECT_TRUE(std::isnan(got[i])) << "bar " << i;
    else
      EXPECT_EQ(got[i], want[i]) << "bar " << i;
  }
}

const double M = std::nan("");
const double inf = std::numeric_limits<double>::infinity();

struct Case {
  std::size_t window;
  std::vector<Value> in;
  std::vector<double> out;
};

class SmaValues : public testing::TestWithParam<Case> {};

TEST_P(SmaValues, MatchesTheWindowMean) {
  Sma s = make(GetParam().window);
  expect_same(feed(s, GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Windows, SmaValues,
                         testing::Values(Case{1, {1.0, kMissing, 3.0}, {1, M, 3}},
                                         Case{3, {1.0, 2.0, 3.0, 4.0, 5.0}, {M, M, 2, 3, 4}},
                                         Case{3, {1.0, kMissing, 3.0, 4.0, 5.0, 6.0}, {M, M, M, M, 4, 5}},
                                         Case{3, {1.0, inf, 3.0}, {M, M, inf}},
                                         Case{2, {inf, -inf}, {M, M}}));  // NaN number, shown as NaN

TEST(Sma, InfinitiesMakeANaNNumberNotMissing) {
  Sma s = make(2);
  const Value bar[] = {inf};
  ASSERT_TRUE(s.update(bar));
  const Value bar2[] = {-inf};
  auto r = s.update(bar2);
  ASSERT_TRUE((*r)[0].has_value());
  EXPECT_TRUE(std::isnan(*(*r)[0]));
}

TEST(Sma, ChecksInOrder) {
  EXPECT_EQ(Sma::create({}, 0, {}).error().message(), "Invalid input: inputs must not be empty");
  EXPECT_EQ(Sma::create({"a"}, 0, {}).error().message(), "Invalid input: outputs must not be empty");
  EXPECT_EQ(Sma::create({"a"}, 0, {"o"}).error().message(), "Invalid input: window must be non-zero");
  EXPECT_TRUE(Sma::create({"", ""}, 1, {"", "x", "y"}).has_value());
}

TEST(Sma, ShortBarIsRefusedAndChangesNothing) {
  Sma s = make(2);
  feed(s, {1.0});
  auto r = s.update({});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Invalid input: values must hold at least 1 value, got 0");
  expect_same(feed(s, {3.0}), {2});
}

TEST(Sma, ReadsOnlyTheFirstValue) {
  Sma s = make(1);
  const Value bar[] = {5.0, kMissing, 7.0};
  EXPECT_EQ(*(*s.update(bar))[0], 5.0);
}

TEST(Sma, ResetAndFreshStartOver) {
  Sma s = make(3);
  EXPECT_EQ(s.warm_up_period(), 2u);
  const std::vector<Value> data = {0.1, 0.7, 0.2, 0.9, 0.3};
  const auto first = feed(s, data);
  auto copy = s.fresh();
  expect_same(feed(*copy, data), first);  // fresh starts warming, whatever the source saw
  expect_same(feed(s, {0.5}), {((0.0 + 0.9) + 0.3 + 0.5) / 3});  // the source goes on where it was
  s.reset();
  expect_same(feed(s, data), first);
  EXPECT_EQ(copy->output_names(), Names{"sma"});
}

TEST(Sma, ExtraOutputNamesGetNoValue) {
  Sma s = make(1, {"a", "b", "c"});
  EXPECT_EQ(s.output_names().size(), 3u);
  const Value bar[] = {1.0};
  EXPECT_EQ(s.update(bar)->size(), 1u);
}

}  // namespace
}  // namespace sarvek
