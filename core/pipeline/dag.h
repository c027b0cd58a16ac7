#pragma once

#include <memory>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/feature.h"
#include "core/value.h"

namespace sarvek {

// The execution order of a set of features: every producer of a column runs
// before every feature that reads it.
struct ResolvedDag {
  // Features grouped by stage, stage 0 first; a feature depends only on
  // features of earlier stages.
  std::vector<std::vector<std::unique_ptr<Feature>>> stages;
  // positions[s][k]: where stages[s][k] stood in the caller's list.
  std::vector<std::vector<std::size_t>> positions;
  // Every output name of every feature, in execution order.
  Names output_names;
  // Names read that no feature produces, each once, in order of first
  // reading (features in the caller's order, each one's inputs in order).
  Names external_inputs;
};

// The execution order of features known by their names only: feature i
// reads inputs[i] and writes outputs[i].
struct FeatureOrder {
  // Caller positions grouped by stage, stage 0 first; within a stage in the
  // order they became ready.
  std::vector<std::vector<std::size_t>> stages;
  // As ResolvedDag::external_inputs.
  Names external_inputs;
};

// Orders features by their column dependencies, failing as resolve_dag does.
Result<FeatureOrder> order_features(std::span<const Names> inputs, std::span<const Names> outputs);

// Orders `features` by their column dependencies. Fails with
// DuplicateOutputKey for the first output name produced twice (scan order:
// features in the caller's order, each one's outputs in order), then with
// CyclicDependency when some features can never run. A feature reading its
// own output name is not a dependency. On failure every feature is released.
Result<ResolvedDag> resolve_dag(std::vector<std::unique_ptr<Feature>> features);

}  // namespace sarvek
