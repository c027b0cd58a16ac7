#include "core/pipeline/dag.h"

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace sarvek {

Result<ResolvedDag> resolve_dag(std::vector<std::unique_ptr<Feature>> features) {
  const std::size_t n = features.size();

  // Who produces each name; the first collision in scan order is reported.
  std::unordered_map<std::string, std::size_t> producer;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::string& name : features[i]->output_names()) {
      const auto [it, inserted] = producer.try_emplace(std::move(name), i);
      if (!inserted) return std::unexpected(CoreError::duplicate_output_key(it->first, it->second, i));
    }
  }

  // One successor entry per reading input name, so a consumer is released
  // only after every one of its reads has been satisfied. Consumers are
  // appended in ascending position.
  std::vector<std::vector<std::size_t>> successors(n);
  std::vector<std::size_t> pending(n, 0);
  std::unordered_set<std::string> seen;
  ResolvedDag dag;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::string& name : features[j]->input_names()) {
      if (const auto it = producer.find(name); it != producer.end()) {
        if (it->second == j) continue;  // its own output: no dependency
        successors[it->second].push_back(j);
        ++pending[j];
      } else if (seen.insert(name).second) {
        dag.external_inputs.push_back(std::move(name));
      }
    }
  }

  // Kahn's algorithm, first in first out, one stage per round: a stage is
  // whatever the queue held when the round began.
  std::deque<std::size_t> ready;
  for (std::size_t i = 0; i < n; ++i)
    if (pending[i] == 0) ready.push_back(i);
  std::vector<std::vector<std::size_t>> order;
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
    order.push_back(std::move(stage));
  }
  if (processed < n) return std::unexpected(CoreError::cyclic_dependency());

  dag.stages.reserve(order.size());
  dag.positions = order;
  for (const std::vector<std::size_t>& stage : order) {
    std::vector<std::unique_ptr<Feature>>& out = dag.stages.emplace_back();
    out.reserve(stage.size());
    for (const std::size_t v : stage) {
      for (std::string& name : features[v]->output_names()) dag.output_names.push_back(std::move(name));
      out.push_back(std::move(features[v]));
    }
  }
  return dag;
}

}  // namespace sarvek
