#include "core/pipeline/plan.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "core/pipeline/dag.h"

namespace sarvek {
namespace {

// Recursion over the features, each computed once; the order is acyclic.
struct Planner {
  const std::vector<const Feature*>& features;
  FeaturePlan& plan;
  std::unordered_map<std::string, FeaturePlan::Producer> producer;
  std::unordered_map<std::string, bool> is_input;
  std::vector<bool> started, done;

  bool produces(const FeaturePlan::Producer& p) const {
    const FeatureDescription* type = plan.features[p.feature].type;
    return !type || p.index < type->produces;
  }

  // The first bar at which the value `p` names can be valid; empty when never.
  std::optional<std::size_t> first_valid(const FeaturePlan::Producer& p) const {
    const FeaturePlan::Step& from = plan.features[p.feature];
    if (!produces(p) || !from.first_valid) return std::nullopt;
    if (!from.type || !from.type->output_lag) return from.first_valid;
    return *from.first_valid + from.type->output_lag(from.arguments, p.index);
  }

  // The producer feeding `name` to feature `reader`, if another feature does
  // and the value it gives can ever be valid.
  const FeaturePlan::Producer* upstream(const std::string& name, std::size_t reader) const {
    const auto it = producer.find(name);
    if (it == producer.end() || it->second.feature == reader) return nullptr;
    return &it->second;
  }

  void visit(std::size_t i) {
    if (done[i]) return;
    if (started[i]) throw std::logic_error("plan: features form a cycle");
    started[i] = true;
    FeaturePlan::Step& step = plan.features[i];
    bool reachable = true;  // every value read can be valid from some bar on
    std::size_t start = 0;
    bool unbounded = !step.memory;
    std::size_t longest = 0;  // the largest chain memory among the features it reads from
    if (step.reads.size() < features[i]->values_read()) reachable = false;  // reads a position no name fills
    for (const std::string& name : step.reads) {
      if (const FeaturePlan::Producer* p = upstream(name, i)) {
        visit(p->feature);
        const FeaturePlan::Step& from = plan.features[p->feature];
        if (const auto valid = first_valid(*p)) start = std::max(start, *valid);
        else reachable = false;
        // A column that is never valid carries no history.
        if (produces(*p)) {
          if (from.chain_memory) longest = std::max(longest, *from.chain_memory);
          else unbounded = true;
        }
      } else {
        // An input column, or the feature's own output name standing for
        // the input column of that name: valid from bar 0 when there is one.
        const auto it = is_input.find(name);
        if (it == is_input.end() || !it->second) reachable = false;
      }
    }
    if (!unbounded) step.chain_memory = *step.memory + longest;
    if (reachable)
      step.first_valid = step.type ? step.type->first_valid_bar(step.arguments, start, step.warm_up) : start + step.warm_up;
    done[i] = true;
  }
};

}  // namespace

FeaturePlan plan_of(const FeaturePipeline& pipeline) {
  const std::vector<const Feature*> features = pipeline.features_in_caller_order();
  const std::size_t n = features.size();
  std::vector<Names> inputs, outputs;
  FeaturePlan plan;
  for (std::size_t i = 0; i < n; ++i) {
    const Feature& f = *features[i];
    inputs.push_back(f.input_names());
    outputs.push_back(f.output_names());
    FeaturePlan::Step step{};
    step.type = description_of(f);
    if (step.type) step.arguments = step.type->arguments_of(f);
    const std::size_t reads = std::min(inputs[i].size(), f.values_read());
    step.reads.assign(inputs[i].begin(), inputs[i].begin() + static_cast<std::ptrdiff_t>(reads));
    step.warm_up = f.warm_up_period();
    if (step.type && step.type->memory) step.memory = step.type->memory(step.arguments);
    plan.features.push_back(std::move(step));
  }
  auto order = order_features(inputs, outputs);
  // Cannot happen: the pipeline was built from this order.
  if (!order) throw std::logic_error("plan: " + order.error().message());
  plan.stages = std::move(order->stages);
  for (std::size_t s = 0; s < plan.stages.size(); ++s)
    for (const std::size_t i : plan.stages[s]) plan.features[i].stage = s;

  Planner planner{features, plan, {}, {}, std::vector<bool>(n), std::vector<bool>(n)};
  for (const std::string& name : pipeline.input_names()) planner.is_input[name] = true;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < outputs[i].size(); ++k) planner.producer.emplace(outputs[i][k], FeaturePlan::Producer{i, k});
  for (std::size_t i = 0; i < n; ++i) planner.visit(i);

  // Columns: the input columns, then the outputs in execution order.
  std::unordered_map<std::string, std::size_t> column_at;
  auto use = [&](const std::string& name, bool input_column) -> FeaturePlan::ColumnUse& {
    const auto [it, added] = column_at.try_emplace(name, plan.columns.size());
    if (added) {
      FeaturePlan::ColumnUse c{name, input_column, std::nullopt, {}};
      if (const auto p = planner.producer.find(name); p != planner.producer.end()) c.producer = p->second;
      plan.columns.push_back(std::move(c));
    }
    return plan.columns[it->second];
  };
  for (const std::string& name : pipeline.input_names()) use(name, true);
  const Names output_names = pipeline.output_names();
  for (const std::string& name : output_names) use(name, false);
  for (std::size_t i = 0; i < n; ++i) {
    for (const std::string& name : inputs[i]) {
      FeaturePlan::ColumnUse& c = use(name, false);
      if (c.producer && c.producer->feature == i) continue;
      if (c.readers.empty() || c.readers.back() != i) c.readers.push_back(i);
    }
  }
  for (const std::string& name : output_names) {
    const FeaturePlan::Producer& p = planner.producer.at(name);
    plan.first_valid.push_back(planner.first_valid(p));
  }

  plan.history = 0;
  for (const FeaturePlan::Step& step : plan.features)
    plan.history = plan.history && step.chain_memory ? std::optional(std::max(*plan.history, *step.chain_memory))
                                                     : std::nullopt;
  return plan;
}

TargetPlan plan_of(const TargetPipeline& pipeline) {
  TargetPlan plan;
  for (std::size_t i = 0; i < pipeline.len(); ++i) {
    const Target& t = pipeline.target(i);
    TargetPlan::Step step{description_of(t), {}, t.output_names(), t.forward_period()};
    if (step.type) {
      step.arguments = step.type->arguments_of(t);
      step.horizon = step.type->horizon(step.arguments);
    }
    plan.future = std::max(plan.future, step.horizon);
    plan.targets.push_back(std::move(step));
  }
  return plan;
}

}  // namespace sarvek
