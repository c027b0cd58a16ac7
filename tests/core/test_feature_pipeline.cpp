#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "core/features/sma.h"
#include "core/pipeline/feature_pipeline.h"
#include "probe_feature.h"

namespace sarvek {
namespace {

using testing::Bar;
using testing::Probe;

std::unique_ptr<Feature> sma(Names in, std::size_t window, Names out) {
  auto made = Sma::create(std::move(in), window, std::move(out));
  EXPECT_TRUE(made);
  return std::make_unique<Sma>(std::move(*made));
}

template <class... F>
std::vector<std::unique_ptr<Feature>> list(std::unique_ptr<F>... f) {
  std::vector<std::unique_ptr<Feature>> out;
  (out.push_back(std::move(f)), ...);
  return out;
}

FeaturePipeline build(std::vector<std::unique_ptr<Feature>> features, Names columns) {
  auto p = FeaturePipeline::create(std::move(features), std::move(columns));
  if (!p) throw std::runtime_error(p.error().message());
  return std::move(*p);
}

Bar run(FeaturePipeline& p, const Bar& bar) {
  auto out = p.update(bar);
  if (!out) throw std::runtime_error(out.error().message());
  return Bar(out->begin(), out->end());
}

// A dataset in the flat layout run_research takes.
struct Dataset {
  std::vector<Value> values;
  std::vector<std::size_t> offsets{0};
  explicit Dataset(const std::vector<Bar>& bars) {
    for (const Bar& b : bars) {
      values.insert(values.end(), b.begin(), b.end());
      offsets.push_back(values.size());
    }
  }
  BarsView view() const { return {values, offsets}; }
};

std::vector<Bar> rows(const ResearchResult& r) {
  std::vector<Bar> out;
  for (std::size_t i = 0; i < r.bars; ++i) out.emplace_back(r.bar(i).begin(), r.bar(i).end());
  return out;
}

TEST(FeaturePipeline, EmptyPipeline) {
  FeaturePipeline p = build({}, {});
  EXPECT_EQ(run(p, {}), Bar{});
  EXPECT_TRUE(p.output_names().empty());
  EXPECT_TRUE(p.input_names().empty());
  EXPECT_EQ(p.warm_up_period(), 0u);
  EXPECT_EQ(p.len(), 0u);
  auto r = p.run_research(Dataset({{}, {1.0}}).view());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->bars, 2u);
  EXPECT_EQ(r->width, 0u);
}

TEST(FeaturePipeline, ProducerRunsFirstWhateverTheOrderGiven) {
  // s2 is the 2-bar mean of the 2-bar mean of close, on the same bar.
  FeaturePipeline p = build(list(sma({"s1"}, 2, {"s2"}), sma({"close"}, 2, {"s1"})), {"close"});
  EXPECT_EQ(p.output_names(), (Names{"s1", "s2"}));
  EXPECT_EQ(p.len(), 2u);
  EXPECT_EQ(run(p, {1.0}), (Bar{kMissing, kMissing}));
  EXPECT_EQ(run(p, {3.0}), (Bar{2.0, kMissing}));
  EXPECT_EQ(run(p, {7.0}), (Bar{5.0, 3.5}));
}

TEST(FeaturePipeline, ConstructionChecksInOrder) {
  auto missing = FeaturePipeline::create(
      list(Probe::make({"close", "volume"}, {"a"}), Probe::make({"high", "volume", "a"}, {"b"})), {"close"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), R"(Missing input column(s): ["volume", "high"])");
  ASSERT_TRUE(missing.error().is<CoreError::MissingInputColumn>());
  EXPECT_EQ(missing.error().as<CoreError::MissingInputColumn>().missing, (Names{"volume", "high"}));

  // Cycle before missing columns, duplicate before cycle.
  auto cycle = FeaturePipeline::create(
      list(Probe::make({"y", "nowhere"}, {"x"}), Probe::make({"x"}, {"y"})), {});
  ASSERT_FALSE(cycle);
  EXPECT_EQ(cycle.error().message(), "Cyclic dependency detected among features");
  auto dup = FeaturePipeline::create(
      list(Probe::make({"y", "nowhere"}, {"x"}), Probe::make({"x"}, {"y"}), Probe::make({"c"}, {"y"})), {});
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().message(), "Duplicate output key 'y': produced by index 1 and 2");
}

TEST(FeaturePipeline, RepeatedColumnIsReadFromItsLastPosition) {
  auto probe = Probe::make({"close"}, {"o"});
  auto log = probe->log();
  FeaturePipeline p = build(list(std::move(probe)), {"close", "close"});
  EXPECT_EQ(p.input_names(), (Names{"close", "close"}));
  run(p, {1.0, 2.0});
  EXPECT_EQ(log->back(), (Bar{2.0}));
  auto shorter = p.update(Bar{1.0});
  ASSERT_FALSE(shorter);
  EXPECT_EQ(shorter.error().message(), "Invalid input: values must hold at least 2 values, got 1");
  EXPECT_EQ(log->size(), 1u);
}

TEST(FeaturePipeline, UnreadColumnsAndSurplusValuesAreIgnored) {
  auto probe = Probe::make({"close", "open"}, {"o"});
  auto log = probe->log();
  FeaturePipeline p = build(list(std::move(probe)), {"open", "volume", "close"});
  run(p, {1.0, 2.0, 3.0, 4.0, 5.0});
  EXPECT_EQ(log->back(), (Bar{3.0, 1.0}));
}

TEST(FeaturePipeline, OutputShadowsTheInputColumnOfTheSameName) {
  // The reader comes first in the list; it still runs after the producer
  // and reads its output, never the column.
  auto reader = Probe::make({"close"}, {"r"});
  auto producer = Probe::make({"raw"}, {"close"});
  auto reader_log = reader->log();
  FeaturePipeline p = build(list(std::move(reader), std::move(producer)), {"close", "raw"});
  EXPECT_EQ(p.output_names(), (Names{"close", "r"}));
  const Bar out = run(p, {1.0, 5.0});
  EXPECT_EQ(reader_log->back(), (Bar{Probe::output({5.0}, 0, 1)}));
  EXPECT_EQ(out[0], Probe::output({5.0}, 0, 1));
}

TEST(FeaturePipeline, OwnOutputNameReadsTheColumnOrMissingNeverItsOwnPast) {
  auto with_column = Probe::make({"x"}, {"x"});
  auto without_column = Probe::make({"y", "c"}, {"y"});
  auto log_x = with_column->log();
  auto log_y = without_column->log();
  FeaturePipeline p = build(list(std::move(with_column), std::move(without_column)), {"x", "c"});
  run(p, {1.0, 2.0});
  run(p, {3.0, 4.0});
  EXPECT_EQ(*log_x, (std::vector<Bar>{{1.0}, {3.0}}));
  EXPECT_EQ(*log_y, (std::vector<Bar>{{kMissing, 2.0}, {kMissing, 4.0}}));
}

TEST(FeaturePipeline, NamesBeyondTheProducedValuesStayAlignedAndMissing) {
  // "b" and "close" get no value from their producer: they report missing,
  // their readers read missing (the column close included), and the later
  // feature's value stays under its own name.
  auto producer = std::make_unique<Probe>(Probe::Config{{"raw"}, {"a", "b", "close"}, 1});
  auto reads_b = Probe::make({"b"}, {"rb"});
  auto reads_close = Probe::make({"close"}, {"rc"});
  auto last = Probe::make({"raw"}, {"z"});
  auto log_b = reads_b->log();
  auto log_close = reads_close->log();
  FeaturePipeline p = build(list(std::move(reads_b), std::move(producer), std::move(last), std::move(reads_close)),
                            {"raw", "close"});
  EXPECT_EQ(p.output_names(), (Names{"a", "b", "close", "z", "rb", "rc"}));
  const Bar out = run(p, {2.0, 9.0});
  EXPECT_EQ(out, (Bar{Probe::output({2.0}, 0, 1), kMissing, kMissing, Probe::output({2.0}, 0, 1), kMissing,
                      kMissing}));
  EXPECT_EQ(log_b->back(), (Bar{kMissing}));
  EXPECT_EQ(log_close->back(), (Bar{kMissing}));
}

TEST(FeaturePipeline, FeatureIsHandedEveryPositionItReads) {
  // A feature reading more positions than it names gets missing there, so
  // a bar is never refused half way through.
  auto probe = std::make_unique<Probe>(Probe::Config{{"c"}, {"o"}, 1, 0, 3});
  auto log = probe->log();
  FeaturePipeline p = build(list(std::move(probe)), {"c"});
  run(p, {1.0});
  EXPECT_EQ(log->back(), (Bar{1.0, kMissing, kMissing}));
}

TEST(FeaturePipeline, ShortBarChangesNothing) {
  FeaturePipeline p = build(list(sma({"close"}, 2, {"s"})), {"open", "close"});
  run(p, {0.0, 1.0});
  auto empty = p.update(Bar{});
  ASSERT_FALSE(empty);
  EXPECT_TRUE(empty.error().is<CoreError::InvalidInput>());
  EXPECT_EQ(empty.error().message(), "Invalid input: values must hold at least 2 values, got 0");
  EXPECT_EQ(run(p, {0.0, 3.0}), (Bar{2.0}));
}

TEST(FeaturePipeline, ResearchMatchesResetThenUpdates) {
  const std::vector<Bar> bars = {{1.0, 10.0}, {2.0, kMissing}, {4.0, 30.0}, {8.0, 40.0}, {16.0, 50.0}};
  auto make = [] {
    return build(list(sma({"s"}, 2, {"t"}), sma({"a"}, 2, {"s"}), Probe::make({"b", "s"}, {"u", "v"})),
                 {"a", "b"});
  };
  FeaturePipeline live = make();
  std::vector<Bar> expected;
  for (const Bar& b : bars) expected.push_back(run(live, b));

  FeaturePipeline p = make();
  run(p, {100.0, 100.0});  // earlier live bars do not matter
  auto first = p.run_research(Dataset(bars).view());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->width, 4u);
  EXPECT_EQ(rows(*first), expected);
  auto second = p.run_research(Dataset(bars).view());
  ASSERT_TRUE(second);
  EXPECT_EQ(rows(*second), expected);

  // Live updates continue from the last research bar.
  EXPECT_EQ(run(p, {32.0, 1.0}), run(live, {32.0, 1.0}));
}

TEST(FeaturePipeline, ResearchOverNoBarsResetsEveryFeature) {
  auto probe = Probe::make({"a"}, {"o"});
  auto resets = probe->resets();
  FeaturePipeline p = build(list(std::move(probe), sma({"a"}, 2, {"s"})), {"a"});
  run(p, {1.0});
  run(p, {2.0});
  auto r = p.run_research(Dataset({}).view());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->bars, 0u);
  EXPECT_TRUE(r->values.empty());
  EXPECT_EQ(*resets, 1u);
  EXPECT_EQ(run(p, {3.0}), (Bar{Probe::output({3.0}, 0, 1), kMissing}));
}

TEST(FeaturePipeline, ResearchWithAShortBarAnywhereChangesNothing) {
  auto probe = Probe::make({"a"}, {"o"});
  auto log = probe->log();
  auto resets = probe->resets();
  FeaturePipeline p = build(list(std::move(probe), sma({"b"}, 2, {"s"})), {"a", "b"});
  run(p, {1.0, 1.0});
  auto r = p.run_research(Dataset({{1.0, 2.0}, {3.0, 4.0}, {5.0}, {6.0, 7.0}}).view());
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is<CoreError::InvalidInput>());
  EXPECT_EQ(r.error().message(), "Invalid input: bar 2 of data must hold at least 2 values, got 1");
  EXPECT_EQ(*resets, 0u);
  EXPECT_EQ(log->size(), 1u);
  // Continues where it was: second bar of the mean, second of the probe.
  EXPECT_EQ(run(p, {2.0, 3.0}), (Bar{Probe::output({2.0}, 0, 2), 2.0}));
}

TEST(FeaturePipeline, CheckingADataBarGivesResearchsOwnRefusal) {
  const Names all = {"c0", "c1", "c2"};
  for (const std::size_t width : {1u, 2u, 3u}) {
    const Names columns(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(width));
    FeaturePipeline p = build(list(sma({"c0"}, 2, {"s"})), columns);
    EXPECT_TRUE(p.check_data_bar(5, width));
    EXPECT_TRUE(p.check_data_bar(5, width + 1));
    for (std::size_t got = 0; got < width; ++got) {
      std::vector<Bar> bars(4, Bar(width, Value(1.0)));
      bars[3] = Bar(got, Value(1.0));
      const auto research = p.run_research(Dataset(bars).view());
      const auto checked = p.check_data_bar(3, got);
      ASSERT_FALSE(research);
      ASSERT_FALSE(checked);
      EXPECT_TRUE(checked.error().is<CoreError::InvalidInput>());
      EXPECT_EQ(checked.error().message(), research.error().message());
    }
  }
}

TEST(FeaturePipeline, WarmUpIsThePlainMaximum) {
  FeaturePipeline independent = build(list(sma({"c"}, 10, {"a"}), sma({"c"}, 20, {"b"})), {"c"});
  EXPECT_EQ(independent.warm_up_period(), 19u);
  FeaturePipeline chained = build(list(sma({"a"}, 20, {"b"}), sma({"c"}, 10, {"a"})), {"c"});
  EXPECT_EQ(chained.warm_up_period(), 19u);
}

TEST(FeaturePipeline, ResetReturnsEveryFeatureToItsStart) {
  FeaturePipeline p = build(list(sma({"c"}, 2, {"a"}), sma({"a"}, 2, {"b"})), {"c"});
  std::vector<Bar> first;
  for (double v : {1.0, 2.0, 4.0}) first.push_back(run(p, {v}));
  p.reset();
  std::vector<Bar> again;
  for (double v : {1.0, 2.0, 4.0}) again.push_back(run(p, {v}));
  EXPECT_EQ(first, again);
}

TEST(FeaturePipeline, NamesAreCopies) {
  FeaturePipeline p = build(list(sma({"c"}, 2, {"a"})), {"c", "d"});
  Names in = p.input_names();
  in.push_back("e");
  Names out = p.output_names();
  out.clear();
  EXPECT_EQ(p.input_names(), (Names{"c", "d"}));
  EXPECT_EQ(p.output_names(), (Names{"a"}));
}

TEST(FeaturePipeline, PresentNanFromAFeatureTravelsAsANumber) {
  // A NaN produced inside the core is a number, not missing.
  auto probe = Probe::make({"c"}, {"o"});
  FeaturePipeline p = build(list(std::move(probe), sma({"o"}, 1, {"s"})), {"c"});
  const Bar out = run(p, {std::nan("")});
  ASSERT_TRUE(out[1].has_value());
  EXPECT_TRUE(std::isnan(*out[1]));
}

}  // namespace
}  // namespace sarvek
