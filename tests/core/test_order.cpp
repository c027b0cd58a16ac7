// The order-statistic structures of column runs against plain per-window
// references, over values full of ties (0.0 against -0.0), infinities and
// NaNs (with payloads, so "which NaN" shows), on windows that do and do not
// divide the bar count.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "core/features/order_window.h"
#include "core/lanes.h"

namespace sarvek {
namespace {

std::vector<double> tied_values(std::mt19937_64& rng, std::size_t n) {
  const double inf = std::numeric_limits<double>::infinity();
  const double pool[] = {-0.0, 0.0, 1.0, -1.0, 2.0, inf, -inf,
                         std::bit_cast<double>(std::uint64_t{0x7ff8000000000001}),
                         std::bit_cast<double>(std::uint64_t{0xfff8000000000002})};
  std::uniform_int_distribution<int> pick(0, 99);
  std::vector<double> v(n);
  for (double& x : v) {
    const int r = pick(rng);
    x = pool[r < 25 ? 0 : r < 50 ? 1 : r < 62 ? 2 : r < 74 ? 3 : r < 84 ? 4 : r < 90 ? 5 : r < 96 ? 6 : r < 98 ? 7 : 8];
  }
  return v;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(OrderWindow, BlockExtremesGiveTheScansBits) {
  std::mt19937_64 rng(7);
  for (std::size_t n : {1, 2, 3, 4, 7, 16, 33}) {
    for (std::size_t bars : {std::size_t{1}, n - 1 + (n == 1), n, n + 1, 3 * n + 2, std::size_t{200}}) {
      const auto p = tied_values(rng, bars + n - 1);
      std::vector<double> hi(bars), lo(bars), room(n);
      window_extremes<std::greater<double>>(p.data(), bars, n, hi.data(), room.data());
      window_extremes<std::less<double>>(p.data(), bars, n, lo.data(), room.data());
      for (std::size_t i = 0; i < bars; ++i) {
        ASSERT_EQ(bits(hi[i]), bits(lanes::window_max<double>(p.data() + i, n))) << n << " " << bars << " " << i;
        ASSERT_EQ(bits(lo[i]), bits(lanes::window_min<double>(p.data() + i, n))) << n << " " << bars << " " << i;
      }
    }
  }
}

TEST(OrderWindow, SortedWindowKeepsTheSortedValuesAndCounts) {
  std::mt19937_64 rng(11);
  const auto key_less = [](double a, double b) { return order_key(a) < order_key(b); };
  for (std::size_t n : {1, 2, 3, 5, 20, 64}) {
    const auto p = tied_values(rng, n + 300);
    SortedWindow w;
    for (std::size_t i = 0; i + n <= p.size(); ++i) {
      if (i == 0)
        w.assign(p.data(), n);
      else
        w.replace(p[i - 1], p[i + n - 1]);
      std::vector<double> want;
      for (std::size_t k = i; k < i + n; ++k)
        if (!std::isnan(p[k])) want.push_back(p[k]);
      std::sort(want.begin(), want.end(), key_less);  // -0.0 before 0.0
      ASSERT_EQ(w.has_nan(), want.size() < n) << n << " " << i;
      for (std::size_t k = 0; k < want.size(); ++k) ASSERT_EQ(bits(w.at(k)), bits(want[k])) << n << " " << i;
      const double x = p[i + n - 1];
      if (std::isnan(x)) continue;
      const auto below = static_cast<std::size_t>(std::count_if(want.begin(), want.end(), [&](double v) { return v < x; }));
      const auto equal = static_cast<std::size_t>(std::count(want.begin(), want.end(), x));
      ASSERT_EQ(w.below(x), below);
      ASSERT_EQ(w.not_above(x) - w.below(x), equal);
    }
  }
}

TEST(OrderWindow, QuantileBetweenFollowsNumpysLinearRule) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(lanes::quantile_between(1.0, inf, 0.0), 1.0);  // the order statistic itself
  EXPECT_EQ(lanes::quantile_between(1.0, 3.0, 0.25), 1.5);
  EXPECT_EQ(lanes::quantile_between(1.0, 3.0, 0.75), 3.0 - 2.0 * 0.25);
  EXPECT_TRUE(std::isnan(lanes::quantile_between(-inf, 2.0, 0.25)));  // -inf + inf * 0.25
  EXPECT_EQ(lanes::quantile_between(-inf, 2.0, 0.5), -inf);            // 2 - inf * 0.5
  EXPECT_EQ(lanes::rank_pct(0, 1, 4), 0.25);
  EXPECT_EQ(lanes::rank_pct(1, 2, 4), 0.625);  // ranks 2 and 3 averaged
  const double big = std::numeric_limits<double>::max();
  EXPECT_EQ(lanes::midpoint(big, big / 2), big / 2 + big / 4);
  EXPECT_EQ(lanes::midpoint(inf, 1.0), inf);
  EXPECT_EQ(bits(lanes::midpoint(3.0, 1.0)), bits(2.0));
}

}  // namespace
}  // namespace sarvek
