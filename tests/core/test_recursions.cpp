#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/features/atr.h"
#include "core/features/log_return.h"
#include "core/features/macd.h"
#include "core/features/obv.h"
#include "core/features/rsi.h"
#include "core/features/sma.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/plan.h"
#include "testing.h"

namespace sarvek {
namespace {

// Macd's lines start at different bars, and so do the chains reading them:
// behind a LogReturn(1) (valid from bar 1), Macd(2, 3, 4) has its macd line
// from bar 5 (the slow average's first whole collection, bars 3..5), its
// signal and hist from bar 11 (the first whole collection of 4 bars from
// bar 5: bars 8..11).
TEST(Recursions, PlanGivesEachOutputItsOwnFirstValidBar) {
  std::vector<std::unique_ptr<Feature>> features;
  features.push_back(std::make_unique<LogReturn>(*LogReturn::create({"close"}, 1, {"r"})));
  features.push_back(std::make_unique<Macd>(*Macd::create({"r"}, {"m", "s", "h"}, 2, 3, 4)));
  features.push_back(std::make_unique<Sma>(*Sma::create({"s"}, 2, {"ss"})));
  features.push_back(std::make_unique<Sma>(*Sma::create({"m"}, 2, {"sm"})));
  features.push_back(std::make_unique<Rsi>(*Rsi::create({"r"}, 3, {"rsi"})));
  auto p = FeaturePipeline::create(std::move(features), {"close"});
  ASSERT_TRUE(p);
  const FeaturePlan plan = plan_of(*p);
  std::vector<std::optional<std::size_t>> want;
  const Names names = p->output_names();
  for (const std::string& n : names) {
    // Rsi(3) behind bar 1: collections of 4 bars from bar 0, the first whole one 4..7.
    const std::size_t bar = n == "r" ? 1 : n == "m" ? 5 : n == "sm" ? 6 : n == "ss" ? 12 : n == "rsi" ? 7 : 11;
    want.push_back(bar);
  }
  EXPECT_EQ(plan.first_valid, want);
}

// After reset, and in a fresh copy, the same bars give the same bits.
TEST(Recursions, ResetAndFreshStartOver) {
  std::vector<std::unique_ptr<Feature>> all;
  all.push_back(std::make_unique<Rsi>(*Rsi::create({"x"}, 3, {"o"})));
  all.push_back(std::make_unique<Atr>(*Atr::create({"h", "l", "c"}, 2, {"o"})));
  all.push_back(std::make_unique<Obv>(*Obv::create({"c", "v"}, {"o"})));
  all.push_back(std::make_unique<Macd>(*Macd::create({"x"}, {"m", "s", "h"}, 2, 3, 2)));
  for (const auto& f : all) {
    auto bar = [](std::size_t i) {
      const double x = 10.0 + std::sin(static_cast<double>(i));
      return std::vector<Value>{i % 7 == 5 ? kMissing : Value(x + 1.0), Value(x - 1.0), Value(x)};
    };
    auto run = [&](Feature& g) {
      std::vector<Value> out;
      for (std::size_t i = 0; i < 30; ++i) {
        const std::vector<Value> values = bar(i);
        const auto r = g.update(values);
        for (const Value& v : *r) out.push_back(v);
      }
      return out;
    };
    const auto first = run(*f);
    f->reset();
    const auto again = run(*f);
    auto copy = f->fresh();
    const auto fresh = run(*copy);
    ASSERT_EQ(first.size(), again.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
      EXPECT_EQ(first[i].has_value(), again[i].has_value()) << i;
      EXPECT_EQ(first[i].has_value(), fresh[i].has_value()) << i;
      if (first[i] && again[i] && fresh[i]) {
        EXPECT_TRUE(testing::same_bits(*first[i], *again[i])) << i;
        EXPECT_TRUE(testing::same_bits(*first[i], *fresh[i])) << i;
      }
    }
  }
}

}  // namespace
}  // namespace sarvek
