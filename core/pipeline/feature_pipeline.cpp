#include "core/pipeline/feature_pipeline.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "core/pipeline/dag.h"

namespace sarvek {
namespace {

std::string count_of_values(std::size_t n) {
  std::string text = std::to_string(n);
  text.append(n == 1 ? " value" : " values");
  return text;
}

}  // namespace

Result<FeaturePipeline> FeaturePipeline::create(std::vector<std::unique_ptr<Feature>> features,
                                                Names input_columns) {
  auto dag = resolve_dag(std::move(features));
  if (!dag) return std::unexpected(std::move(dag.error()));

  // Column positions: a name listed more than once is read from its last
  // position.
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < input_columns.size(); ++i) position.insert_or_assign(input_columns[i], i);

  Names missing;
  for (std::string& name : dag->external_inputs)
    if (!position.contains(name)) missing.push_back(std::move(name));
  if (!missing.empty()) return std::unexpected(CoreError::missing_input_column(std::move(missing)));

  FeaturePipeline p;
  p.output_names_ = std::move(dag->output_names);
  p.input_columns_ = std::move(input_columns);

  // Slot 0 stays missing for ever; outputs take slots 1.. in execution
  // order (names are unique, resolution checked that), then the input
  // columns that no feature produces.
  std::unordered_map<std::string, std::size_t> slot;
  for (std::size_t i = 0; i < p.output_names_.size(); ++i) slot.emplace(p.output_names_[i], i + 1);
  std::size_t slot_count = p.output_names_.size() + 1;
  for (std::size_t i = 0; i < p.input_columns_.size(); ++i) {
    const std::string& name = p.input_columns_[i];
    const auto [it, added] = slot.try_emplace(name, slot_count);
    if (added) ++slot_count;
    if (position.at(name) == i) p.loads_.push_back({it->second, i});
  }
  p.slots_.assign(slot_count, kMissing);

  std::size_t next_output = 1;
  std::size_t widest = 0;
  for (std::size_t s_index = 0; s_index < dag->stages.size(); ++s_index) {
    auto& stage = dag->stages[s_index];
    for (std::size_t k = 0; k < stage.size(); ++k) {
      std::unique_ptr<Feature>& feature = stage[k];
      Step step;
      step.caller_index = dag->positions[s_index][k];
      step.out_begin = next_output;
      step.out_count = feature->output_names().size();
      next_output += step.out_count;
      step.in_begin = p.read_slots_.size();
      for (const std::string& name : feature->input_names()) {
        const auto it = slot.find(name);
        std::size_t s = it == slot.end() ? 0 : it->second;  // unknown names were refused above
        // Its own output name: the input column of that name, as the bar
        // brought it (the feature has not written yet), or missing.
        if (s >= step.out_begin && s < step.out_begin + step.out_count && !position.contains(name)) s = 0;
        p.read_slots_.push_back(s);
      }
      step.in_end = p.read_slots_.size();
      // A feature is never handed fewer values than it reads: positions it
      // reads beyond its input names are missing.
      step.gather = std::max(step.in_end - step.in_begin, feature->values_read());
      widest = std::max(widest, step.gather);
      step.feature = std::move(feature);
      p.steps_.push_back(std::move(step));
    }
  }
  p.gather_.assign(widest, kMissing);
  return p;
}

void FeaturePipeline::run_bar(std::span<const Value> values) {
  for (const Load& load : loads_) slots_[load.slot] = values[load.position];
  for (Step& step : steps_) {
    const std::size_t reads = step.in_end - step.in_begin;
    for (std::size_t k = 0; k < reads; ++k) gather_[k] = slots_[read_slots_[step.in_begin + k]];
    for (std::size_t k = reads; k < step.gather; ++k) gather_[k] = kMissing;
    const Result<Values> out = step.feature->update(std::span<const Value>(gather_.data(), step.gather));
    // Cannot happen: every feature gets at least the values it reads.
    if (!out) throw std::logic_error("feature refused a bar sized for it: " + out.error().message());
    const std::size_t given = std::min(out->size(), step.out_count);
    Value* dst = slots_.data() + step.out_begin;
    for (std::size_t k = 0; k < given; ++k) dst[k] = (*out)[k];
    for (std::size_t k = given; k < step.out_count; ++k) dst[k] = kMissing;
  }
}

Result<void> FeaturePipeline::check_bar(std::span<const Value> values, const char* what, std::size_t index) const {
  if (values.size() >= input_columns_.size()) return {};
  std::string msg(what);
  if (index != kNoIndex) {
    msg.append(" ").append(std::to_string(index)).append(" of data");
  }
  msg.append(" must hold at least ").append(count_of_values(input_columns_.size()));
  msg.append(", got ").append(std::to_string(values.size()));
  return invalid_input(std::move(msg));
}

Result<std::span<const Value>> FeaturePipeline::update(std::span<const Value> values) {
  if (auto ok = check_bar(values, "values", kNoIndex); !ok) return std::unexpected(std::move(ok.error()));
  run_bar(values);
  return std::span<const Value>(slots_.data() + 1, output_names_.size());
}

Result<ResearchResult> FeaturePipeline::run_research(BarsView data) {
  const std::size_t bars = data.size();
  for (std::size_t i = 0; i < bars; ++i)
    if (auto ok = check_bar(data.bar(i), "bar", i); !ok) return std::unexpected(std::move(ok.error()));

  ResearchResult result;
  result.width = output_names_.size();
  result.bars = bars;
  // Room for every result is taken before anything changes, so running out
  // of memory leaves the features as they were.
  if (result.width != 0 && bars > std::numeric_limits<std::size_t>::max() / sizeof(Value) / result.width)
    throw std::bad_alloc();
  result.values.reserve(bars * result.width);

  reset();
  const Value* first = slots_.data() + 1;
  for (std::size_t i = 0; i < bars; ++i) {
    run_bar(data.bar(i));
    result.values.insert(result.values.end(), first, first + result.width);
  }
  return result;
}

Result<RunStatus> FeaturePipeline::run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                               std::span<const StridedOutput> outputs, bool reset_first,
                                               const std::function<bool()>& interrupted) {
  if (inputs.size() < input_columns_.size())
    return invalid_input("data must hold one column per input column: expected " +
                         std::to_string(input_columns_.size()) + ", got " + std::to_string(inputs.size()));
  if (outputs.size() < output_names_.size())
    return invalid_input("outputs must hold one column per output name: expected " +
                         std::to_string(output_names_.size()) + ", got " + std::to_string(outputs.size()));
  if (reset_first) reset();
  constexpr std::size_t kBlock = 65536;
  std::vector<Value> bar(input_columns_.size());
  const std::size_t width = output_names_.size();
  for (std::size_t begin = 0; begin < bars; begin += kBlock) {
    if (interrupted && interrupted()) {
      reset();
      return RunStatus::interrupted;
    }
    const std::size_t end = std::min(bars, begin + kBlock);
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t j = 0; j < bar.size(); ++j) {
        const double x = inputs[j][i];
        bar[j] = x != x ? kMissing : Value(x);
      }
      run_bar(bar);
      for (std::size_t k = 0; k < width; ++k) {
        const Value& v = slots_[k + 1];
        outputs[k][i] = v ? *v : std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
  return RunStatus::done;
}

std::vector<const Feature*> FeaturePipeline::features_in_caller_order() const {
  std::vector<const Feature*> out(steps_.size());
  for (const Step& step : steps_) out[step.caller_index] = step.feature.get();
  return out;
}

void FeaturePipeline::reset() {
  for (Step& step : steps_) step.feature->reset();
}

std::size_t FeaturePipeline::warm_up_period() const {
  std::size_t most = 0;
  for (const Step& step : steps_) most = std::max(most, step.feature->warm_up_period());
  return most;
}

}  // namespace sarvek
