#include "core/pipeline/target_pipeline.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/pipeline/pieces.h"

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

namespace {

std::unexpected<CoreError> too_few_data_columns(std::size_t need, std::size_t got) {
  return invalid_input("data must hold one column per input column: expected " + std::to_string(need) +
                       ", got " + std::to_string(got));
}

// Bars per block: few enough that a block of labels (`work` steps of
// arithmetic per bar for all targets together) takes a few milliseconds, so
// the interrupt check between blocks comes promptly at any horizon; never
// so few that the overlap read again by the next block (`horizon` bars)
// outweighs the block's own work.
std::size_t block_bars(std::size_t work, std::size_t horizon) {
  constexpr std::size_t kWork = std::size_t{1} << 24;
  const std::size_t budget = std::max(kWork, horizon);
  return std::clamp(budget / std::max<std::size_t>(work, 1), std::size_t{1},
                    std::max(std::size_t{65536}, horizon));
}

}  // namespace

Result<std::vector<Column>> TargetPipeline::run_research(std::span<const std::span<const Value>> data) const {
  std::vector<Column> out;
  auto status = run_research(data, out, {});
  if (!status) return std::unexpected(std::move(status.error()));
  return out;
}

namespace {

// One block of input columns at a time, as the engine's columns (values +
// validity), for the columns the targets read. `Read(j, i)` gives entry i
// of data column j as (present, value).
template <class Read>
struct BlockSource {
  Read read;
  std::vector<bool> used;
  std::vector<std::vector<double>> values;
  std::vector<std::vector<std::uint8_t>> valid;

  BlockSource(Read r, std::size_t columns) : read(std::move(r)), used(columns), values(columns), valid(columns) {}
  void load(std::size_t a, std::size_t e) {
    for (std::size_t j = 0; j < used.size(); ++j) {
      if (!used[j]) continue;
      values[j].resize(e - a);
      valid[j].resize(e - a);
      for (std::size_t i = a; i < e; ++i) {
        const auto [present, x] = read(j, i);
        values[j][i - a] = x;
        valid[j][i - a] = present;
      }
    }
  }
  ColumnIn column(std::size_t j) const { return {values[j].data(), valid[j].data()}; }
};

}  // namespace

Result<RunStatus> TargetPipeline::run_research(std::span<const std::span<const Value>> data,
                                               std::vector<Column>& out,
                                               const std::function<bool()>& interrupted) const {
  if (data.size() < input_columns_.size()) return too_few_data_columns(input_columns_.size(), data.size());

  // Columns of different lengths give labels of different lengths: those
  // are computed whole. Equal ones go block by block.
  std::size_t bars = 0;
  bool first = true, equal = true;
  for (const Slot& slot : targets_)
    for (std::size_t p : slot.positions) {
      if (first) bars = data[p].size();
      equal = equal && data[p].size() == bars;
      first = false;
    }
  if (first || !equal) {
    auto whole = run_whole(data);
    if (!whole) return std::unexpected(std::move(whole.error()));
    out = std::move(*whole);
    return RunStatus::done;
  }

  auto read = [data](std::size_t j, std::size_t i) {
    const Value& v = data[j][i];
    return std::pair<bool, double>{v.has_value(), v.value_or(0.0)};
  };
  BlockSource<decltype(read)> source(read, data.size());
  for (const Slot& slot : targets_)
    for (std::size_t p : slot.positions) source.used[p] = true;
  out.assign(output_names_.size(), Column(bars, kMissing));
  return run_blocks(
      bars, source,
      [&](std::size_t k, std::size_t a, ColumnIn labels, std::size_t count) {
        Value* to = out[k].data() + a;
        for (std::size_t i = 0; i < count; ++i) to[i] = labels.valid[i] ? Value(labels.values[i]) : kMissing;
      },
      [&](std::size_t k) { out[k].clear(); }, interrupted);
}

Result<std::vector<Column>> TargetPipeline::run_whole(std::span<const std::span<const Value>> data) const {
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

template <class Source, class Write, class Empty>
Result<RunStatus> TargetPipeline::run_blocks(std::size_t bars, Source& source, Write&& write, Empty&& empty,
                                             const std::function<bool()>& interrupted, std::size_t first,
                                             std::size_t last) const {
  last = std::min(last, bars);
  const std::size_t horizon = forward_period();
  std::size_t work = 0;
  for (const Slot& slot : targets_) work += std::max<std::size_t>(slot.target->work_per_bar(), 1);
  const std::size_t block = std::min(block_bars(work, horizon), last - std::min(first, last));
  // One block of labels per output name, written by the targets and then
  // handed to `write`.
  const std::size_t width = output_names_.size();
  std::vector<double> values(width * block);
  std::vector<std::uint8_t> valid(width * block);
  std::vector<bool> reported(targets_.size(), false);
  std::vector<ColumnIn> columns;
  std::vector<ColumnOut> labels;
  for (std::size_t begin = first; begin < last; begin += std::min(block, last - begin)) {
    if (interrupted && interrupted()) return RunStatus::interrupted;
    const std::size_t end = begin + std::min(block, last - begin);
    source.load(begin, end + std::min(horizon, bars - end));
    std::size_t first_output = 0;
    for (std::size_t t = 0; t < targets_.size(); ++t) {
      const Slot& slot = targets_[t];
      const std::size_t reach = end + std::min(slot.target->forward_period(), bars - end);
      columns.clear();
      for (std::size_t p : slot.positions) columns.push_back(source.column(p));
      labels.clear();
      for (std::size_t k = 0; k < slot.outputs; ++k)
        labels.push_back({values.data() + (first_output + k) * block, valid.data() + (first_output + k) * block});
      auto computed = slot.target->label_columns(reach - begin, columns, end - begin, labels);
      if (!computed) return std::unexpected(std::move(computed.error()));
      if (*computed == 0 && !reported[t]) {
        reported[t] = true;
        for (std::size_t k = 0; k < slot.outputs; ++k) empty(first_output + k);
      }
      for (std::size_t k = 0; k < std::min(*computed, slot.outputs); ++k)
        write(first_output + k, begin, ColumnIn{labels[k].values, labels[k].valid}, end - begin);
      first_output += slot.outputs;
    }
  }
  return RunStatus::done;
}

Result<RunStatus> TargetPipeline::run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                              std::span<const StridedOutput> outputs,
                                              const std::function<bool()>& interrupted, RunThreads threads) const {
  if (inputs.size() < input_columns_.size()) return too_few_data_columns(input_columns_.size(), inputs.size());
  if (outputs.size() < output_names_.size())
    return invalid_input("outputs must hold one column per output name: expected " +
                         std::to_string(output_names_.size()) + ", got " + std::to_string(outputs.size()));

  // NaN marks a missing value at this boundary.
  auto read = [inputs](std::size_t j, std::size_t i) {
    const double x = inputs[j][i];
    return std::pair<bool, double>{x == x, x};
  };
  auto source_of = [&] {
    BlockSource<decltype(read)> source(read, input_columns_.size());
    for (const Slot& slot : targets_)
      for (std::size_t p : slot.positions) source.used[p] = true;
    return source;
  };
  // Bars [first, last) only: pieces on other threads share the outputs.
  auto label = [&](std::size_t first, std::size_t last, const std::function<bool()>& stop) {
    for (std::size_t k = 0; k < output_names_.size(); ++k)
      for (std::size_t i = first; i < last; ++i) outputs[k].set(i, false, 0.0);
    auto source = source_of();
    return run_blocks(
        bars, source,
        [&](std::size_t k, std::size_t a, ColumnIn labels, std::size_t count) {
          for (std::size_t i = 0; i < count; ++i) outputs[k].set(a + i, labels.valid[i] != 0, labels.values[i]);
        },
        [](std::size_t) {}, stop, first, last);
  };
  const std::size_t n = pieces(bars, threads);
  if (n <= 1) return label(0, bars, interrupted);

  // A label reads only its own bar and the horizon after it, so each piece
  // is labelled on its own, reading past its end as far as the horizon.
  std::vector<std::optional<CoreError>> failed(n);
  const RunStatus status = run_on_threads(
      n,
      [&](std::size_t k, const std::function<bool()>& stop) {
        auto done = label(piece_start(bars, n, k), piece_start(bars, n, k + 1), stop);
        if (done) return *done;
        failed[k] = std::move(done.error());
        return RunStatus::interrupted;
      },
      interrupted);
  for (std::optional<CoreError>& e : failed)
    if (e) return std::unexpected(std::move(*e));
  return status;
}

std::size_t TargetPipeline::pieces(std::size_t bars, RunThreads threads) const {
  const std::size_t most = std::min(threads.count, RunThreads::kMost);
  if (most <= 1 || bars < 2) return 1;
  const std::size_t horizon = forward_period();
  std::size_t least = threads.piece_bars;
  if (least == 0) least = horizon > RunThreads::kPieceBars / 2 ? 2 * horizon : RunThreads::kPieceBars;
  return std::clamp(bars / least, std::size_t{1}, most);
}

std::size_t TargetPipeline::forward_period() const {
  std::size_t longest = 0;
  for (const Slot& slot : targets_) longest = std::max(longest, slot.target->forward_period());
  return longest;
}

}  // namespace sarvek
