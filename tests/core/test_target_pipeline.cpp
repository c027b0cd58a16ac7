#include <gtest/gtest.h>

#include <memory>

#include "testing.h"
#include "core/pipeline/target_pipeline.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_return.h"

namespace sarvek {
namespace {

using testing::expect_column;
using testing::M;
using testing::spans;

// Echoes its input columns back, at most `produce` of them, and counts the
// calls it receives.
class Echo final : public Target {
 public:
  Echo(Names inputs, Names outputs, std::size_t produce, int* calls = nullptr)
      : inputs_(std::move(inputs)), outputs_(std::move(outputs)), produce_(produce), calls_(calls) {}
  Names input_names() const override { return inputs_; }
  Names output_names() const override { return outputs_; }
  std::size_t forward_period() const override { return 0; }
  Result<std::vector<Column>> compute(std::span<const std::span<const Value>> columns) const override {
    if (calls_) ++*calls_;
    std::vector<Column> out;
    for (std::size_t i = 0; i < produce_ && i < columns.size(); ++i)
      out.emplace_back(columns[i].begin(), columns[i].end());
    return out;
  }

 private:
  Names inputs_, outputs_;
  std::size_t produce_;
  int* calls_;
};

std::unique_ptr<Target> future_return(Names in, std::size_t h, Names out) {
  return std::make_unique<FutureReturn>(*FutureReturn::create(std::move(in), h, std::move(out)));
}
std::unique_ptr<Target> echo(Names in, Names out, std::size_t produce, int* calls = nullptr) {
  return std::make_unique<Echo>(std::move(in), std::move(out), produce, calls);
}

std::string build_error(TargetPipeline::Targets targets, Names columns) {
  auto p = TargetPipeline::create(std::move(targets), std::move(columns));
  return p ? "built" : p.error().message();
}

TEST(TargetPipeline, EmptyPipeline) {
  auto p = TargetPipeline::create({}, {"close"});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->len(), 0u);
  EXPECT_EQ(p->forward_period(), 0u);
  const std::vector<Column> data{{1.0, 2.0}};
  auto out = p->run_research(spans(data));
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->empty());
}

TEST(TargetPipeline, ConstructionErrors) {
  std::vector<std::unique_ptr<Target>> v;
  // Duplicates are reported before missing columns.
  v.push_back(future_return({"close"}, 1, {"a"}));
  v.push_back(future_return({"nope"}, 1, {"b"}));
  v.push_back(future_return({"close"}, 2, {"a"}));
  EXPECT_EQ(build_error(std::move(v), {"close"}), "Duplicate output key 'a': produced by index 0 and 2");

  v.clear();
  v.push_back(future_return({"close"}, 1, {"x", "x"}));
  EXPECT_EQ(build_error(std::move(v), {"close"}), "Duplicate output key 'x': produced by index 0 and 0");

  // Another target's output never satisfies an input; each name once, in
  // order of first reading.
  v.clear();
  v.push_back(future_return({"close"}, 1, {"ret"}));
  v.push_back(future_return({"ret", "volume"}, 1, {"r2"}));
  v.push_back(
      std::make_unique<FutureLinearSlope>(*FutureLinearSlope::create({"volume", "ret"}, 2, {"s", "r"})));
  EXPECT_EQ(build_error(std::move(v), {"close"}), "Missing input column(s): [\"ret\", \"volume\"]");
}

TEST(TargetPipeline, RunsInCallerOrderWithLaterPositionWinning) {
  std::vector<std::unique_ptr<Target>> v;
  v.push_back(echo({"low", "high"}, {"b_low", "b_high"}, 2));
  v.push_back(echo({"high", "low"}, {"a_high", "a_low"}, 2));
  v.push_back(echo({"close"}, {"c"}, 1));
  auto p = TargetPipeline::create(std::move(v), {"close", "high", "low", "unused", "close"});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->len(), 3u);
  EXPECT_EQ(p->input_names(), (Names{"close", "high", "low", "unused", "close"}));
  EXPECT_EQ(p->output_names(), (Names{"b_low", "b_high", "a_high", "a_low", "c"}));
  const std::vector<Column> data{{1.0}, {2.0}, {3.0}, {4.0}, {5.0}, {6.0}};  // extra column ignored
  auto out = p->run_research(spans(data));
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), 5u);
  const double expected[] = {3.0, 2.0, 2.0, 3.0, 5.0};
  for (std::size_t i = 0; i < 5; ++i) expect_column((*out)[i], {expected[i]});
}

TEST(TargetPipeline, ForwardPeriodIsTheLongest) {
  std::vector<std::unique_ptr<Target>> v;
  v.push_back(future_return({"close"}, 5, {"r5"}));
  v.push_back(std::make_unique<FutureCTCVolatility>(*FutureCTCVolatility::create("close", 20)));
  v.push_back(future_return({"close"}, 3, {"r3"}));
  auto p = TargetPipeline::create(std::move(v), {"close"});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->forward_period(), 20u);
  EXPECT_EQ(p->output_names(), (Names{"r5", "close_future_ctc_vol_20", "r3"}));
}

TEST(TargetPipeline, EveryOutputNameGetsAColumn) {
  std::vector<std::unique_ptr<Target>> v;
  v.push_back(future_return({"close"}, 1, {"ret", "extra1", "extra2"}));
  v.push_back(echo({"close", "close"}, {"e"}, 2));  // computes more than it names
  v.push_back(echo({"close"}, {"none"}, 0));        // computes nothing
  auto p = TargetPipeline::create(std::move(v), {"close"});
  ASSERT_TRUE(p);
  const std::vector<Column> data{{100.0, 110.0, 121.0}};
  auto out = p->run_research(spans(data));
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), p->output_names().size());
  expect_column((*out)[0], {0.1, 0.1, M}, 1e-12);
  expect_column((*out)[1], {M, M, M});
  expect_column((*out)[2], {M, M, M});
  expect_column((*out)[3], {100.0, 110.0, 121.0});
  EXPECT_TRUE((*out)[4].empty());
}

TEST(TargetPipeline, RefusesTooFewColumnsBeforeAnyTargetComputes) {
  int calls = 0;
  std::vector<std::unique_ptr<Target>> v;
  v.push_back(echo({"a"}, {"ea"}, 1, &calls));
  v.push_back(echo({"b"}, {"eb"}, 1, &calls));
  auto p = TargetPipeline::create(std::move(v), {"a", "b"});
  ASSERT_TRUE(p);
  const std::vector<Column> data{{1.0}};
  auto out = p->run_research(spans(data));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(),
            "Invalid input: data must hold one column per input column: expected 2, got 1");
  EXPECT_EQ(calls, 0);
}

TEST(TargetPipeline, ShortYColumnIsRefusedAndNothingReturned) {
  std::vector<std::unique_ptr<Target>> v;
  v.push_back(future_return({"x"}, 1, {"r"}));
  v.push_back(std::make_unique<FutureLinearSlope>(*FutureLinearSlope::create({"x", "y"}, 2, {"s", "r2"})));
  auto p = TargetPipeline::create(std::move(v), {"x", "y"});
  ASSERT_TRUE(p);
  const std::vector<Column> data{{1.0, 2.0, 3.0}, {1.0, 2.0}};
  auto out = p->run_research(spans(data));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "Invalid input: y column must hold at least 3 values, got 2");
}

}  // namespace
}  // namespace sarvek
