#pragma once

// A feature pipeline over a panel: a table whose rows belong to many
// groups (symbols), each group's rows in its own order, the groups'
// rows interleaved, as a table in time order is. The table is cut into
// steps, runs of consecutive rows in which no group repeats; step by step,
// every group with a row in the step advances by one bar in lanes across
// groups (Universe) while the others keep their state. Each group's
// results are exactly those of the pipeline run over its own rows alone,
// without gathering them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/strided.h"

namespace sarvek {

// The steps of `codes` (one group number per row, each below `groups`):
// the first row of every step, then the row count, so step j is rows
// [starts[j], starts[j + 1]). May throw std::bad_alloc.
std::vector<std::size_t> panel_steps(std::span<const std::uint32_t> codes, std::size_t groups);

// True when the lanes are busy enough for a walk of `steps` steps over
// `groups` lanes (each step costs every lane, in blocks) to beat gathering
// each group's `rows` rows: on average at least half the lanes have a row.
bool panel_pays(std::size_t steps, std::size_t rows, std::size_t groups);

// Runs the groups [first, last) of the panel: `inputs` one column per
// input column (NaN missing), `outputs` one column per output, each row of
// these groups written (other rows untouched). A fresh pipeline of
// `prototype`'s plan per group. `interrupted` is asked between steps now
// and then; when it says so the run stops (the rows not reached keep what
// they held). May throw std::bad_alloc.
Result<RunStatus> run_panel(const FeaturePipeline& prototype, std::span<const std::uint32_t> codes,
                            std::span<const std::size_t> starts, std::size_t first, std::size_t last,
                            std::span<const StridedColumn> inputs, std::span<const StridedOutput> outputs,
                            const std::function<bool()>& interrupted = {});

}  // namespace sarvek
