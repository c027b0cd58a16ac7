#include "core/pipeline/dag.h"

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace sarvek {

Result<FeatureOrder> order_features(std::span<const Names> inputs, std::span<const Names> outputs) {
  const std::size_t n = inputs.size();

  // Who produces each name; the first collision in scan order is reported.
  std::unordered_map<std::string_view, std::size_t> producer;
  for (std::size_t i = 0; i < n; ++i) {
    for (const std::string& name : outputs[i]) {
      const auto [it, inserted] = producer.try_emplace(name, i);
      if (!inserted) return std::unexpected(CoreError::duplicate_output_key(name, it->second, i));
    }
  }

  // One successor entry per reading input name, so a consumer is released
  // only after every one of its reads has been satisfied. Consumers are
  // appended in ascending position.
  std::vector<std::vector<std::size_t>> successors(n);
  std::vector<std::size_t> pending(n, 0);
  std::unordered_set<std::string_view> seen;
  FeatureOrder result;
  for (std::size_t j = 0; j < n; ++j) {
    for (const std::string& name : inputs[j]) {
      if (const auto it = producer.find(name); it != producer.end()) {
        if (it->second == j) continue;  // its own output: no dependency
        successors[it->second].push_back(j);
        ++pending[j];
      } else if (seen.insert(name).second) {
        result.external_inputs.push_back(name);
      }
    }
  }

  // Kahn's algorithm, first in first out, one stage per round: a stage is
  // whatever the queue held when the round began.
  std::deque<std::size_t> ready;
  for (std::size_t i = 0; i < n; ++i)
    if (pending[i] == 0) ready.push_back(i);
  std::size_t processed = 0;
  while (!ready.empty()) {
    const std::size_t k = ready.size();
    std::vector<std::size_t> stage;
    stage.reserve(k);
    for (std::size_t t = 0; t < k; ++t) {
      const std::size_t v = ready.front();
      ready.pop_front();
      stage.push_back(v);
      ++processed;
      for (const std::size_t s : successors[v])
        if (--pending[s] == 0) ready.push_back(s);
    }
    result.stages.push_back(std::move(stage));
  }
  if (processed < n) return std::unexpected(CoreError::cyclic_dependency());
  return result;
}

Result<ResolvedDag> resolve_dag(std::vector<std::unique_ptr<Feature>> features) {
  std::vector<Names> inputs, outputs;
  inputs.reserve(features.size());
  outputs.reserve(features.size());
  for (const auto& f : features) {
    inputs.push_back(f->input_names());
    outputs.push_back(f->output_names());
  }
  auto order = order_features(inputs, outputs);
  if (!order) return std::unexpected(std::move(order.error()));
  ResolvedDag dag;
  dag.external_inputs = std::move(order->external_inputs);
  const std::vector<std::vector<std::size_t>>& stages = order->stages;
  dag.stages.reserve(stages.size());
  dag.positions = stages;
  for (const std::vector<std::size_t>& stage : stages) {
    std::vector<std::unique_ptr<Feature>>& out = dag.stages.emplace_back();
    out.reserve(stage.size());
    for (const std::size_t v : stage) {
      for (std::string& name : outputs[v]) dag.output_names.push_back(std::move(name));
      out.push_back(std::move(features[v]));
    }
  }
  return dag;
}

}  // namespace sarvek
