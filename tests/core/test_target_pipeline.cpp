#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "testing.h"
#include "core/pipeline/target_pipeline.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_direction.h"
#include "core/targets/future_extremes.h"
#include "core/targets/future_return.h"
#include "core/targets/triple_barrier.h"

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

// Labels are computed in blocks of bars, each reading `horizon` bars past
// its end. Whatever the horizon against the block size and however the
// length falls against the blocks, every label must equal the target's own
// computation over the whole columns, bit for bit, on both entry points.
class Blocks : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Blocks, EqualWholeColumnComputationBitForBit) {
  const auto [horizon, bars] = GetParam();
  std::mt19937_64 rng(horizon * 7919 + bars);
  std::normal_distribution<double> step(0.0, 0.01);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Column close(bars), other(bars);
  double price = 100.0;
  for (std::size_t i = 0; i < bars; ++i) {
    price *= std::exp(step(rng));
    const double r = u(rng);
    close[i] = r < 0.01 ? kMissing : r < 0.012 ? Value(0.0) : r < 0.013 ? Value(-price) : Value(price);
    other[i] = u(rng) < 0.01 ? kMissing : Value(step(rng));
  }
  TargetPipeline::Targets v;
  v.push_back(future_return({"close"}, horizon, {"r", "r_extra"}));
  v.push_back(std::make_unique<FutureCTCVolatility>(*FutureCTCVolatility::create("close", horizon)));
  v.push_back(std::make_unique<FutureLinearSlope>(
      *FutureLinearSlope::create({"other", "close"}, std::max<std::size_t>(horizon, 2), {"s", "r2"})));
  // The package's targets, with `other` as TripleBarrier's volatility.
  v.push_back(std::make_unique<FutureExtremes>(*FutureExtremes::create({"close"}, horizon, {"hi", "lo"})));
  v.push_back(std::make_unique<FutureDirection>(*FutureDirection::create({"close"}, horizon, {"dir"}, 0.001)));
  v.push_back(std::make_unique<TripleBarrier>(*TripleBarrier::create({"close"}, horizon, {"l", "b"}, 0.01, 0.02)));
  v.push_back(std::make_unique<TripleBarrier>(
      *TripleBarrier::create({"close", "other"}, horizon, {"lv", "bv"}, 0.5, 0.5)));
  const std::size_t computing = v.size();
  v.push_back(echo({"other"}, {"none"}, 0));
  auto p = TargetPipeline::create(std::move(v), {"close", "other"});
  ASSERT_TRUE(p);

  // The reference: each target over the whole columns.
  std::vector<Column> expected;
  const std::vector<Column> data{close, other};
  for (std::size_t t = 0; t < computing; ++t) {
    std::vector<std::span<const Value>> cols;
    for (const std::string& name : p->target(t).input_names()) cols.push_back(name == "close" ? close : other);
    auto whole = p->target(t).compute(cols);
    ASSERT_TRUE(whole);
    for (Column& c : *whole) expected.push_back(std::move(c));
    if (t == 0) expected.emplace_back(bars, kMissing);  // r_extra
  }
  expected.emplace_back();  // a target computing nothing gives an empty column

  auto out = p->run_research(spans(data));
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    ASSERT_EQ((*out)[k].size(), expected[k].size()) << "output " << k;
    for (std::size_t i = 0; i < expected[k].size(); ++i)
      ASSERT_TRUE(testing::same_bits((*out)[k][i], expected[k][i])) << "output " << k << " bar " << i;
  }

  // Whole columns of doubles, strided as in a row-major table.
  const std::size_t width = p->output_names().size();
  std::vector<double> in(2 * bars), table(width * bars, 0.0);
  for (std::size_t i = 0; i < bars; ++i) {
    in[2 * i] = close[i] ? *close[i] : std::nan("");
    in[2 * i + 1] = other[i] ? *other[i] : std::nan("");
  }
  const StridedColumn inputs[] = {{in.data(), 2}, {in.data() + 1, 2}};
  std::vector<StridedOutput> outputs;
  for (std::size_t k = 0; k < width; ++k) outputs.push_back({table.data() + k, static_cast<std::ptrdiff_t>(width)});
  auto status = p->run_columns(bars, inputs, outputs);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, RunStatus::done);
  for (std::size_t k = 0; k < width; ++k)
    for (std::size_t i = 0; i < bars; ++i) {
      const Value got = std::isnan(table[i * width + k]) ? kMissing : Value(table[i * width + k]);
      const Value want = i < expected[k].size() ? expected[k][i] : kMissing;
      ASSERT_TRUE(testing::same_bits(got, want)) << "output " << k << " bar " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(TargetPipeline, Blocks,
                         ::testing::Combine(::testing::Values(1, 5, 300, 5000),
                                            ::testing::Values(0, 3, 4096, 70001, 140000)));

TEST(TargetPipeline, StopsBetweenBlocksWhenInterrupted) {
  TargetPipeline::Targets v;
  v.push_back(future_return({"close"}, 3, {"r"}));
  auto p = TargetPipeline::create(std::move(v), {"close"});
  ASSERT_TRUE(p);
  const std::size_t bars = 300000;
  std::vector<double> in(bars, 100.0), out(bars, 7.0);
  const StridedColumn inputs[] = {{in.data(), 1}};
  const StridedOutput outputs[] = {{out.data(), 1}};
  int asked = 0;
  auto status = p->run_columns(bars, inputs, outputs, [&] { return ++asked == 2; });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, RunStatus::interrupted);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(out[0], 0.0);  // the first block was labelled, the last bar was not reached
  EXPECT_TRUE(std::isnan(out[bars - 4]));

  const Column column(bars, Value(100.0));
  const std::vector<std::span<const Value>> data{column};
  std::vector<Column> labels;
  asked = 0;
  auto listed = p->run_research(data, labels, [&] { return ++asked == 3; });
  ASSERT_TRUE(listed);
  EXPECT_EQ(*listed, RunStatus::interrupted);
  EXPECT_EQ(asked, 3);
}

// A long horizon makes short blocks: the interrupt check comes after a
// bounded amount of work (labels times horizon). A cheap target with a long
// horizon keeps blocks at least a horizon long, so the overlap read again by
// each block does not dominate.
TEST(TargetPipeline, LongHorizonsAreAskedAboutInterruptsAfterBoundedWork) {
  const std::size_t h = 200000;
  TargetPipeline::Targets v;
  v.push_back(std::make_unique<FutureLinearSlope>(*FutureLinearSlope::create({"x", "y"}, h, {"s", "r2"})));
  auto p = TargetPipeline::create(std::move(v), {"x", "y"});
  ASSERT_TRUE(p);
  const std::size_t bars = 3 * h;
  std::vector<double> x(bars), y(bars), slope(bars, 7.0), r2(bars, 7.0);
  for (std::size_t i = 0; i < bars; ++i) {
    x[i] = static_cast<double>(i);
    y[i] = std::cos(0.01 * static_cast<double>(i));
  }
  const StridedColumn inputs[] = {{x.data(), 1}, {y.data(), 1}};
  const StridedOutput outputs[] = {{slope.data(), 1}, {r2.data(), 1}};
  int asked = 0;
  auto status = p->run_columns(bars, inputs, outputs, [&] { return ++asked == 3; });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, RunStatus::interrupted);
  const auto labelled = static_cast<std::size_t>(std::count_if(slope.begin(), slope.end(), [](double s) {
    return !std::isnan(s);
  }));
  EXPECT_GT(labelled, 0u);
  EXPECT_LE(labelled, 2 * ((std::size_t{1} << 25) / h));

  TargetPipeline::Targets cheap;
  cheap.push_back(future_return({"x"}, h, {"r"}));
  auto q = TargetPipeline::create(std::move(cheap), {"x"});
  ASSERT_TRUE(q);
  asked = 0;
  ASSERT_EQ(*q->run_columns(bars, inputs, outputs, [&] { return ++asked < 0; }), RunStatus::done);
  EXPECT_LE(asked, 3);
}

}  // namespace
}  // namespace sarvek
