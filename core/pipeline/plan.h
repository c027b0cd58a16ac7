#pragma once

// What a pipeline's configuration implies, computed once from the catalogue
// and the dependency order: the stages, who produces and who reads every
// column, each feature's memory and warm-up, the first bar at which each
// output can be valid, and the history (features) or future (targets) a
// piece of a long run needs to give exactly the results of one whole run.
// Read when describing or planning a pipeline, never per bar.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/target_pipeline.h"

namespace sarvek {

struct FeaturePlan {
  struct Step {
    const FeatureDescription* type;  // null for a type outside the catalogue
    Arguments arguments;             // as type->arguments_of gives them
    std::size_t stage;
    Names reads;                      // the input names whose values it reads
    std::size_t warm_up;
    std::optional<std::size_t> memory;  // its own; empty when unbounded
    // Its own memory plus the largest along the features it reads from;
    // empty when any of them is unbounded.
    std::optional<std::size_t> chain_memory;
    // The first bar at which its outputs can be valid; empty when never.
    std::optional<std::size_t> first_valid;
  };
  struct Producer {
    std::size_t feature;  // caller position
    std::size_t index;    // among its output names
  };
  struct ColumnUse {
    std::string name;
    bool input_column;  // one of the pipeline's input columns
    std::optional<Producer> producer;
    // Features listing the name among their inputs, other than its producer
    // (which reads the input column of that name, if any), each once.
    std::vector<std::size_t> readers;
  };

  std::vector<std::vector<std::size_t>> stages;  // caller positions
  std::vector<Step> features;                    // caller order
  // The input columns in order, then the outputs in execution order; a
  // name that is both appears once, among the input columns.
  std::vector<ColumnUse> columns;
  // One per output name, in output_names() order.
  std::vector<std::optional<std::size_t>> first_valid;
  // Bars of history a piece needs: the largest chain memory (0 without
  // features); empty when some chain is unbounded.
  std::optional<std::size_t> history;
};

FeaturePlan plan_of(const FeaturePipeline& pipeline);

struct TargetPlan {
  struct Step {
    const TargetDescription* type;  // null for a type outside the catalogue
    Arguments arguments;
    Names outputs;
    std::size_t horizon;  // the bars after a bar that its label reads
  };
  std::vector<Step> targets;  // caller order
  std::size_t future = 0;     // the largest horizon, 0 without targets
};

TargetPlan plan_of(const TargetPipeline& pipeline);

}  // namespace sarvek
