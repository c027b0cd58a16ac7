#include <gtest/gtest.h>

#include "core/pipeline/dag.h"
#include "probe_feature.h"

namespace sarvek {
namespace {

using testing::Probe;

struct Spec {
  Names inputs;
  Names outputs;
};

std::vector<std::unique_ptr<Feature>> probes(const std::vector<Spec>& specs) {
  std::vector<std::unique_ptr<Feature>> out;
  for (const Spec& s : specs) out.push_back(Probe::make(s.inputs, s.outputs));
  return out;
}

// Stages as the first output name of each feature, to compare at a glance.
std::vector<Names> stage_names(const ResolvedDag& dag) {
  std::vector<Names> out;
  for (const auto& stage : dag.stages) {
    Names names;
    for (const auto& f : stage) names.push_back(f->output_names().at(0));
    out.push_back(names);
  }
  return out;
}

struct Resolved {
  const char* name;
  std::vector<Spec> specs;
  std::vector<Names> stages;
  Names outputs;
  Names external;
};

class ResolveOrder : public ::testing::TestWithParam<Resolved> {};

TEST_P(ResolveOrder, StagesOutputsAndExternalInputs) {
  const Resolved& c = GetParam();
  auto dag = resolve_dag(probes(c.specs));
  ASSERT_TRUE(dag.has_value()) << dag.error().message();
  EXPECT_EQ(stage_names(*dag), c.stages);
  EXPECT_EQ(dag->output_names, c.outputs);
  EXPECT_EQ(dag->external_inputs, c.external);
}

INSTANTIATE_TEST_SUITE_P(
    Dag, ResolveOrder,
    ::testing::Values(
        Resolved{"empty", {}, {}, {}, {}},
        Resolved{"chain_in_order",
                 {{{"a"}, {"x"}}, {{"x"}, {"y"}}, {{"a"}, {"z"}}},
                 {{"x", "z"}, {"y"}},
                 {"x", "z", "y"},
                 {"a"}},
        Resolved{"consumer_first",
                 {{{"x"}, {"y"}}, {{"a"}, {"x"}}, {{"a"}, {"z"}}},
                 {{"x", "z"}, {"y"}},
                 {"x", "z", "y"},
                 {"a"}},
        Resolved{"reads_own_output_only", {{{"s"}, {"s"}}}, {{"s"}}, {"s"}, {}},
        Resolved{"reads_own_output_and_a_column", {{{"s", "c"}, {"s"}}}, {{"s"}}, {"s"}, {"c"}},
        Resolved{"external_once_where_first_read",
                 {{{"a", "close"}, {"p"}}, {{"close", "b"}, {"q"}}, {{"b", "a", "c"}, {"r"}}},
                 {{"p", "q", "r"}},
                 {"p", "q", "r"},
                 {"a", "close", "b", "c"}},
        // Two outputs of one producer read by one consumer: released once,
        // after the producer, and the producer's names keep their order.
        Resolved{"two_outputs_of_one_producer",
                 {{{"p1", "p2"}, {"c"}}, {{"a"}, {"p1", "p2"}}, {{"p2", "p2"}, {"d"}}},
                 {{"p1"}, {"c", "d"}},
                 {"p1", "p2", "c", "d"},
                 {"a"}},
        // Within a later stage: order of release, not input position.
        Resolved{"later_stage_in_release_order",
                 {{{"a"}, {"pa"}}, {{"a"}, {"pb"}}, {{"pb"}, {"cb"}}, {{"pa"}, {"ca"}}},
                 {{"pa", "pb"}, {"ca", "cb"}},
                 {"pa", "pb", "ca", "cb"},
                 {"a"}},
        // The last producer decides: c2 waits for pb, d3 only for pa.
        Resolved{"released_by_last_producer",
                 {{{"a"}, {"pa"}}, {{"a"}, {"pb"}}, {{"pa", "pb"}, {"c2"}}, {{"pa"}, {"d3"}}},
                 {{"pa", "pb"}, {"d3", "c2"}},
                 {"pa", "pb", "d3", "c2"},
                 {"a"}},
        // Stage is one more than the deepest producer.
        Resolved{"deep_chain",
                 {{{"c2", "a"}, {"d"}}, {{"c1"}, {"c2"}}, {{"c0"}, {"c1"}}, {{"a"}, {"c0"}}},
                 {{"c0"}, {"c1"}, {"c2"}, {"d"}},
                 {"c0", "c1", "c2", "d"},
                 {"a"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Rejected {
  const char* name;
  std::vector<Spec> specs;
  const char* message;
};

class ResolveRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(ResolveRejects, WithTheFirstProblemFound) {
  const Rejected& c = GetParam();
  auto dag = resolve_dag(probes(c.specs));
  ASSERT_FALSE(dag.has_value());
  EXPECT_EQ(dag.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Dag, ResolveRejects,
    ::testing::Values(
        Rejected{"duplicate_across_features",
                 {{{"a"}, {"p"}}, {{"a"}, {"q"}}, {{"a"}, {"p", "q"}}},
                 "Duplicate output key 'p': produced by index 0 and 2"},
        Rejected{"duplicate_within_one_feature",
                 {{{"a"}, {"x"}}, {{"a"}, {"y"}}, {{"a"}, {"z"}}, {{"a"}, {"v", "w", "v"}}, {{"a"}, {"v"}}},
                 "Duplicate output key 'v': produced by index 3 and 3"},
        Rejected{"first_collision_in_scan_order",
                 {{{"a"}, {"q", "p"}}, {{"a"}, {"p", "q"}}},
                 "Duplicate output key 'p': produced by index 0 and 1"},
        Rejected{"mutual_reads", {{{"x"}, {"y"}}, {{"y"}, {"x"}}}, "Cyclic dependency detected among features"},
        Rejected{"cycle_among_independents",
                 {{{"a"}, {"p"}}, {{"y"}, {"x"}}, {{"a"}, {"q"}}, {{"x"}, {"y"}}, {{"y"}, {"after"}}},
                 "Cyclic dependency detected among features"},
        Rejected{"duplicate_reported_before_cycle",
                 {{{"y"}, {"x"}}, {{"x"}, {"y"}}, {{"a"}, {"x"}}},
                 "Duplicate output key 'x': produced by index 0 and 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Dag, FailureKindsCarryTheirFields) {
  auto dup = resolve_dag(probes({{{"a"}, {"p"}}, {{"a"}, {"q"}}, {{"a"}, {"p", "q"}}}));
  ASSERT_FALSE(dup);
  ASSERT_TRUE(dup.error().is<CoreError::DuplicateOutputKey>());
  const auto& d = dup.error().as<CoreError::DuplicateOutputKey>();
  EXPECT_EQ(d.key, "p");
  EXPECT_EQ(d.idx_a, 0u);
  EXPECT_EQ(d.idx_b, 2u);

  auto cyc = resolve_dag(probes({{{"x"}, {"y"}}, {{"y"}, {"x"}}}));
  ASSERT_FALSE(cyc);
  EXPECT_TRUE(cyc.error().is<CoreError::CyclicDependency>());
}

TEST(Dag, MovesTheSameFeatureObjectsIntoStages) {
  auto features = probes({{{"x"}, {"y"}}, {{"a"}, {"x"}}});
  const Feature* consumer = features[0].get();
  const Feature* producer = features[1].get();
  auto dag = resolve_dag(std::move(features));
  ASSERT_TRUE(dag);
  ASSERT_EQ(dag->stages.size(), 2u);
  EXPECT_EQ(dag->stages[0][0].get(), producer);
  EXPECT_EQ(dag->stages[1][0].get(), consumer);
}

}  // namespace
}  // namespace sarvek
