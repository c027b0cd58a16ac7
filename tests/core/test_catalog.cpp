#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "core/catalog.h"
#include "core/features/log_return.h"
#include "core/features/sma.h"
#include "core/pipeline/plan.h"
#include "probe_feature.h"

namespace sarvek {
namespace {

// Arguments at each parameter's least accepted value, counts without a
// default two above it (so that a default bounded by another count, as ddof
// below window, holds), defaults left as they are.
Arguments least(const std::vector<ParamDescription>& params) {
  Arguments a;
  for (const ParamDescription& p : params) {
    if (p.kind == ParamKind::names) {
      Names names;
      for (std::size_t k = 0; k < std::max<std::size_t>(p.minimum, 1); ++k) names.push_back(p.name + std::to_string(k));
      a.emplace_back(std::move(names));
    } else if (p.kind == ParamKind::name) {
      a.emplace_back(std::string("c"));
    } else if (p.kind == ParamKind::real) {
      a.emplace_back(*p.default_real);
    } else {
      a.emplace_back(p.default_count.value_or(std::max<std::size_t>(p.minimum, 1) + 2));
    }
  }
  return a;
}

TEST(Catalog, EveryFeatureTypeIsBuiltRecognisedAndGivesBackItsArguments) {
  std::set<std::string> names;
  for (const FeatureDescription* d : feature_catalog()) {
    EXPECT_TRUE(names.insert(d->name).second) << d->name;
    const Arguments args = least(d->params);
    auto made = d->make(args);
    ASSERT_TRUE(made) << d->name << ": " << made.error().message();
    const Feature& f = **made;
    EXPECT_EQ(description_of(f), d);
    EXPECT_EQ(d->arguments_of(f), args) << d->name;
    EXPECT_EQ(d->reads, f.values_read()) << d->name;
    EXPECT_EQ(description_of(*f.fresh()), d);
    // A finite memory covers the warm-up: a fresh copy given that much
    // history has produced its first value.
    if (d->memory) {
      EXPECT_GE(d->memory(args), f.warm_up_period()) << d->name;
    }
  }
  EXPECT_EQ(names.size(), kFeatureTypeCount);
  // The module's fixed classes come first.
  for (std::size_t i = 0; i < kFeatureTypeCount; ++i)
    EXPECT_EQ(feature_catalog()[i]->visibility == Visibility::module, i < kModuleFeatureCount);
  EXPECT_EQ(description_of(*testing::Probe::make({"a"}, {"b"})), nullptr);
}

TEST(Catalog, EveryTargetTypeIsBuiltRecognisedAndGivesBackItsArguments) {
  for (const TargetDescription* d : target_catalog()) {
    const Arguments args = least(d->params);
    auto made = d->make(args);
    ASSERT_TRUE(made) << d->name << ": " << made.error().message();
    EXPECT_EQ(description_of(**made), d);
    EXPECT_EQ(d->arguments_of(**made), args) << d->name;
    EXPECT_LE(d->horizon(args), (*made)->forward_period()) << d->name;
  }
}

TEST(Catalog, RealsReadAsPythonWritesThem) {
  EXPECT_EQ(real_text(2.0), "2.0");
  EXPECT_EQ(real_text(0.015), "0.015");
  EXPECT_EQ(real_text(-0.5), "-0.5");
  EXPECT_EQ(real_text(1e-05), "1e-05");
  EXPECT_EQ(real_text(1e16), "1e+16");
  EXPECT_EQ(real_text(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(real_text(0.0001), "0.0001");
}

TEST(Catalog, RealParametersRefuseNonFiniteAndOutOfRangeValues) {
  EXPECT_TRUE(check_real("k", 2.0, 0.0, 10.0, "must be in [0, 10]").has_value());
  EXPECT_EQ(check_real("k", std::nan(""), 0.0, 10.0, "x").error().message(), "Invalid input: k must be finite");
  EXPECT_EQ(check_real("k", -HUGE_VAL, 0.0, 10.0, "x").error().message(), "Invalid input: k must be finite");
  EXPECT_EQ(check_real("k", 11.0, 0.0, 10.0, "must be in [0, 10]").error().message(),
            "Invalid input: k must be in [0, 10]");
}

TEST(Plan, ChainsAddTheirMemoryAndFirstValidBars) {
  std::vector<std::unique_ptr<Feature>> features;
  features.push_back(std::make_unique<Sma>(*Sma::create({"r"}, 5, {"s", "never"})));
  features.push_back(std::make_unique<LogReturn>(*LogReturn::create({"close"}, 2, {"r"})));
  features.push_back(std::make_unique<Sma>(*Sma::create({"never"}, 3, {"dead"})));
  auto p = FeaturePipeline::create(std::move(features), {"close"});
  ASSERT_TRUE(p);
  const FeaturePlan plan = plan_of(*p);
  EXPECT_EQ(plan.stages, (std::vector<std::vector<std::size_t>>{{1}, {0}, {2}}));
  EXPECT_EQ(plan.features[0].chain_memory, 6u);
  EXPECT_EQ(plan.features[2].chain_memory, 2u);  // a column never valid carries no history
  EXPECT_EQ(plan.history, 6u);
  // Outputs in execution order: r, s, never, dead.
  EXPECT_EQ(plan.first_valid, (std::vector<std::optional<std::size_t>>{2u, 6u, std::nullopt, std::nullopt}));
}

}  // namespace
}  // namespace sarvek
