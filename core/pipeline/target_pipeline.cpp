#include "core/pipeline/target_pipeline.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace sarvek {

Result<TargetPipeline> TargetPipeline::create(Targets targets, Names input_columns) {
  // Every output name has exactly one producer; the first repeat is reported
  // with the position of the target that produced it first.
  std::unordered_map<std::string, std::size_t> producer;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::string& name : targets[i]->output_names()) {
      const auto [at, inserted] = producer.try_emplace(name, i);
      if (!inserted) return std::unexpected(CoreError::duplicate_output_key(std::move(name), at->second, i));
    }
  }

  // Only the caller's input columns satisfy an input: targets never read
  // each other's outputs. A later position wins for a name listed twice.
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < input_columns.size(); ++i) position[input_columns[i]] = i;
  Names missing;
  std::unordered_set<std::string> listed;
  for (const auto& target : targets) {
    for (std::string& name : target->input_names()) {
      if (position.contains(name) || listed.contains(name)) continue;
      listed.insert(name);
      missing.push_back(std::move(name));
    }
  }
  if (!missing.empty()) return std::unexpected(CoreError::missing_input_column(std::move(missing)));

  std::vector<Slot> slots;
  slots.reserve(targets.size());
  Names output_names;
  for (auto& target : targets) {
    std::vector<std::size_t> positions;
    for (const std::string& name : target->input_names()) positions.push_back(position.at(name));
    Names outputs = target->output_names();
    const std::size_t count = outputs.size();
    output_names.insert(output_names.end(), std::make_move_iterator(outputs.begin()),
                        std::make_move_iterator(outputs.end()));
    slots.push_back(Slot{std::move(target), std::move(positions), count});
  }
  return TargetPipeline(std::move(slots), std::move(input_columns), std::move(output_names));
}

Result<std::vector<Column>> TargetPipeline::run_research(std::span<const std::span<const Value>> data) const {
  if (data.size() < input_columns_.size())
    return invalid_input("data must hold one column per input column: expected " +
                         std::to_string(input_columns_.size()) + ", got " + std::to_string(data.size()));

  std::vector<Column> result;
  result.reserve(output_names_.size());
  std::vector<std::span<const Value>> columns;
  for (const Slot& slot : targets_) {
    columns.clear();
    for (std::size_t p : slot.positions) columns.push_back(data[p]);
    auto computed = slot.target->compute(columns);
    if (!computed) return std::unexpected(std::move(computed.error()));
    // Keep every result column under its own name: a target's names beyond
    // the columns it computes get an all-missing column as long as its first
    // one, and a column without a name is dropped.
    std::vector<Column>& cols = *computed;
    const std::size_t length = cols.empty() ? 0 : cols.front().size();
    cols.resize(std::min(cols.size(), slot.outputs));
    for (Column& c : cols) result.push_back(std::move(c));
    for (std::size_t k = cols.size(); k < slot.outputs; ++k) result.emplace_back(length, kMissing);
  }
  return result;
}

Result<void> TargetPipeline::run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                         std::span<const StridedOutput> outputs) const {
  if (inputs.size() < input_columns_.size())
    return invalid_input("data must hold one column per input column: expected " +
                         std::to_string(input_columns_.size()) + ", got " + std::to_string(inputs.size()));
  if (outputs.size() < output_names_.size())
    return invalid_input("outputs must hold one column per output name: expected " +
                         std::to_string(output_names_.size()) + ", got " + std::to_string(outputs.size()));
  std::vector<Column> columns(input_columns_.size(), Column(bars));
  for (std::size_t j = 0; j < columns.size(); ++j)
    for (std::size_t i = 0; i < bars; ++i) {
      const double x = inputs[j][i];
      columns[j][i] = x != x ? kMissing : Value(x);
    }
  std::vector<std::span<const Value>> views(columns.begin(), columns.end());
  auto labels = run_research(views);
  if (!labels) return std::unexpected(std::move(labels.error()));
  for (std::size_t k = 0; k < output_names_.size(); ++k)
    for (std::size_t i = 0; i < bars; ++i) {
      const Value& v = (*labels)[k][i];
      outputs[k][i] = v ? *v : std::numeric_limits<double>::quiet_NaN();
    }
  return {};
}

std::size_t TargetPipeline::forward_period() const {
  std::size_t longest = 0;
  for (const Slot& slot : targets_) longest = std::max(longest, slot.target->forward_period());
  return longest;
}

}  // namespace sarvek
