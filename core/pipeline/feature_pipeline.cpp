#include "core/pipeline/feature_pipeline.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "core/catalog.h"
#include "core/lane_block.h"
#include "core/pipeline/dag.h"
#include "core/pipeline/pieces.h"
#include "core/pipeline/plan.h"
#include "core/state_io.h"

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
  return check_count(values.size(), what, index);
}

Result<void> FeaturePipeline::check_count(std::size_t count, const char* what, std::size_t index) const {
  if (count >= input_columns_.size()) return {};
  std::string msg(what);
  if (index != kNoIndex) {
    msg.append(" ").append(std::to_string(index)).append(" of data");
  }
  msg.append(" must hold at least ").append(count_of_values(input_columns_.size()));
  msg.append(", got ").append(std::to_string(count));
  return invalid_input(std::move(msg));
}

Result<void> FeaturePipeline::check_data_bar(std::size_t index, std::size_t count) const {
  return check_count(count, "bar", index);
}

Result<std::span<const Value>> FeaturePipeline::update(std::span<const Value> values) {
  if (auto ok = check_bar(values, "values", kNoIndex); !ok) return std::unexpected(std::move(ok.error()));
  run_bar(values);
  return std::span<const Value>(slots_.data() + 1, output_names_.size());
}

// Bars per block of the column engine: large enough that per-block costs
// (window history staged per feature, one virtual call per feature) vanish,
// small enough that a block's columns stay in cache and extra memory stays
// a few megabytes whatever the run's length.
constexpr std::size_t kBlockBars = 16384;
// Steps of arithmetic per block at most (bars times each feature's work per
// bar), a few milliseconds: the interrupt check between blocks then comes
// promptly for any window. A block is never shorter than one bar.
constexpr std::size_t kBlockWork = std::size_t{1} << 24;

std::size_t FeaturePipeline::block_bars() const {
  std::size_t work = 0;
  for (const Step& step : steps_) work += std::max<std::size_t>(step.feature->work_per_bar(), 1);
  return std::clamp(kBlockWork / std::max<std::size_t>(work, 1), std::size_t{1}, kBlockBars);
}

struct FeaturePipeline::Engine {
  std::size_t block = 0;
  std::vector<double> values;
  std::vector<std::uint8_t> valid;
  std::vector<double*> slot_values;
  std::vector<std::uint8_t*> slot_valid;
  std::vector<ColumnIn> ins;
  std::vector<ColumnOut> outs;
  // (from, to) pairs: copy slot `from` to alias column `to` before a step.
  std::vector<std::pair<std::size_t, std::size_t>> copies;
  std::vector<std::size_t> copies_end;
  // Where each step's columns start in ins and outs.
  std::vector<std::size_t> in_at;
  std::vector<std::size_t> out_at;
  // A later step run together with step i (Feature::run_columns_with), or
  // kNoIndex; ran_early[j]: step j already ran in this block.
  std::vector<std::size_t> partner;
  std::vector<std::uint8_t> ran_early;
};

FeaturePipeline::Engine FeaturePipeline::prepare_engine(std::size_t block) {
  const std::size_t slot_count = slots_.size();

  // A feature that reads a name it also writes (its own output name standing
  // for the input column of that name) gets a copy of that column, so its
  // outputs never overwrite what it is reading.
  std::size_t aliased = 0;
  std::size_t in_total = 0;
  std::size_t out_total = 0;
  for (const Step& step : steps_) {
    for (std::size_t k = step.in_begin; k < step.in_end; ++k) {
      const std::size_t s = read_slots_[k];
      aliased += s >= step.out_begin && s < step.out_begin + step.out_count;
    }
    in_total += step.gather;
    out_total += step.out_count;
  }

  Engine e;
  e.block = block;
  e.values.resize((slot_count + aliased) * block);
  e.valid.resize((slot_count + aliased) * block);
  e.slot_values.resize(slot_count + aliased);
  e.slot_valid.resize(slot_count + aliased);
  for (std::size_t s = 0; s < slot_count + aliased; ++s) {
    e.slot_values[s] = e.values.data() + s * block;
    e.slot_valid[s] = e.valid.data() + s * block;
  }
  e.ins.reserve(in_total);
  e.outs.reserve(out_total);
  std::size_t next_alias = slot_count;
  for (const Step& step : steps_) {
    e.in_at.push_back(e.ins.size());
    e.out_at.push_back(e.outs.size());
    for (std::size_t k = step.in_begin; k < step.in_end; ++k) {
      std::size_t s = read_slots_[k];
      if (s >= step.out_begin && s < step.out_begin + step.out_count) {
        e.copies.emplace_back(s, next_alias);
        s = next_alias++;
      }
      e.ins.push_back({e.slot_values[s], e.slot_valid[s]});
    }
    // Positions read beyond the input names: the always-missing slot.
    for (std::size_t k = step.in_end - step.in_begin; k < step.gather; ++k)
      e.ins.push_back({e.slot_values[0], e.slot_valid[0]});
    for (std::size_t k = 0; k < step.out_count; ++k)
      e.outs.push_back({e.slot_values[step.out_begin + k], e.slot_valid[step.out_begin + k]});
    e.copies_end.push_back(e.copies.size());
  }
  // Pairs that run together: a later step reading exactly the same
  // columns, neither reading its own outputs. Everything the later one
  // reads is ready at the earlier one's turn, and only steps after the
  // later one read its outputs.
  e.partner.assign(steps_.size(), kNoIndex);
  e.ran_early.assign(steps_.size(), 0);
  const auto reads = [&](std::size_t i) {
    const Step& s = steps_[i];
    return std::vector<std::size_t>(read_slots_.begin() + static_cast<std::ptrdiff_t>(s.in_begin),
                                     read_slots_.begin() + static_cast<std::ptrdiff_t>(s.in_end));
  };
  const auto copies_of = [&](std::size_t i) { return e.copies_end[i] - (i ? e.copies_end[i - 1] : 0); };
  std::vector<std::uint8_t> taken(steps_.size(), 0);
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    if (taken[i] || copies_of(i)) continue;
    for (std::size_t j = i + 1; j < steps_.size(); ++j) {
      if (taken[j] || copies_of(j) || steps_[j].gather != steps_[i].gather || reads(j) != reads(i) ||
          !steps_[i].feature->runs_with(*steps_[j].feature))
        continue;
      e.partner[i] = j;
      taken[i] = taken[j] = 1;
      break;
    }
  }
  for (Step& step : steps_) step.feature->reserve_columns(block);
  if (block) std::fill(e.slot_values[0], e.slot_values[0] + block, std::numeric_limits<double>::quiet_NaN());
  return e;
}

template <class Fill, class Take>
RunStatus FeaturePipeline::run_range(Engine& e, std::size_t from, std::size_t write_from, std::size_t to,
                                     bool reset_first, Fill& load, Take& store,
                                     const std::function<bool()>& interrupted) {
  if (reset_first) reset();
  for (std::size_t begin = from; begin < to;) {
    if (interrupted && interrupted()) {
      reset();
      return RunStatus::interrupted;
    }
    // A block ends where the written bars start, so it is written whole or
    // not at all.
    const std::size_t end = begin < write_from ? std::min(write_from, to) : to;
    const std::size_t n = std::min(e.block, end - begin);
    load(begin, begin + n, e.slot_values.data(), e.slot_valid.data());
    std::size_t copy_at = 0;
    std::fill(e.ran_early.begin(), e.ran_early.end(), std::uint8_t{0});
    for (std::size_t i = 0; i < steps_.size(); ++i) {
      Step& step = steps_[i];
      for (; copy_at < e.copies_end[i]; ++copy_at) {
        const auto [src, dst] = e.copies[copy_at];
        std::memcpy(e.slot_values[dst], e.slot_values[src], n * sizeof(double));
        std::memcpy(e.slot_valid[dst], e.slot_valid[src], n);
      }
      if (e.ran_early[i]) continue;
      const std::span<const ColumnIn> ins(e.ins.data() + e.in_at[i], step.gather);
      const std::span<const ColumnOut> outs(e.outs.data() + e.out_at[i], step.out_count);
      if (const std::size_t j = e.partner[i]; j != kNoIndex) {
        const std::span<const ColumnOut> theirs(e.outs.data() + e.out_at[j], steps_[j].out_count);
        if (step.feature->run_columns_with(*steps_[j].feature, n, ins, outs, theirs)) {
          e.ran_early[j] = 1;
          continue;
        }
      }
      const auto done = step.feature->run_columns(n, ins, outs);
      // Cannot happen: every feature gets the columns it reads and one per
      // output name.
      if (!done) throw std::logic_error("feature refused columns sized for it: " + done.error().message());
    }
    if (begin >= write_from) store(begin, begin + n, e.slot_values.data() + 1, e.slot_valid.data() + 1);
    begin += n;
  }
  return RunStatus::done;
}

template <class Fill, class Take>
RunStatus FeaturePipeline::run_engine(std::size_t bars, bool reset_first, Fill&& load, Take&& store,
                                      const std::function<bool()>& interrupted) {
  // Every allocation happens here, before any state changes.
  Engine e = prepare_engine(std::min(bars, block_bars()));
  return run_range(e, 0, 0, bars, reset_first, load, store, interrupted);
}

std::optional<std::size_t> FeaturePipeline::history() const { return plan_of(*this).history; }

std::size_t FeaturePipeline::pieces(std::size_t bars, RunThreads threads) const {
  const std::size_t most = std::min(threads.count, RunThreads::kMost);
  // Too short for two pieces whatever the history: the plan is not made.
  if (most <= 1 || bars / std::max<std::size_t>(threads.piece_bars ? threads.piece_bars : RunThreads::kPieceBars, 1) < 2)
    return 1;
  const std::optional<std::size_t> h = history();
  if (!h) return 1;
  std::size_t least = threads.piece_bars;
  if (least == 0) least = *h > RunThreads::kPieceBars / 2 ? 2 * *h : RunThreads::kPieceBars;
  return std::clamp(bars / least, std::size_t{1}, most);
}

namespace {

// Moves `from`'s state into `to`, a pipeline or feature of the same
// configuration.
template <class T>
void copy_state(T& from, T& to) {
  const std::string error = StateIO::transfer([&](StateIO& io) { from.state(io); }, [&](StateIO& io) { to.state(io); });
  // Cannot happen: the state of something of the same configuration.
  if (!error.empty()) throw std::logic_error("threads: a state does not fit its copy: " + error);
}

// run_on_threads, leaving `pipeline` reset when a piece throws or the run
// is interrupted, as a one-thread run leaves it.
template <class Work>
RunStatus run_or_reset(FeaturePipeline& pipeline, std::size_t n, Work&& work,
                       const std::function<bool()>& interrupted) {
  RunStatus status;
  try {
    status = run_on_threads(n, std::forward<Work>(work), interrupted);
  } catch (...) {
    pipeline.reset();
    throw;
  }
  if (status == RunStatus::interrupted) pipeline.reset();
  return status;
}

}  // namespace

RunStatus FeaturePipeline::run_pieces(std::size_t bars, std::size_t n, std::size_t history, bool reset_first,
                                      std::span<const StridedColumn> inputs, std::span<const StridedOutput> outputs,
                                      const std::function<bool()>& interrupted) {
  // Each piece after the first: a fresh copy fed from `history` bars before
  // the piece (or from the run's first bar, then from the state the run
  // continues). Every copy and buffer is made before anything changes.
  struct Piece {
    FeaturePipeline* pipeline;
    Engine engine;
    std::size_t from, write_from, to;
  };
  std::vector<FeaturePipeline> copies;
  std::vector<Piece> pieces;
  copies.reserve(n - 1);
  pieces.reserve(n);
  const std::size_t first_end = piece_start(bars, n, 1);
  pieces.push_back(Piece{this, prepare_engine(std::min(first_end, block_bars())), 0, 0, first_end});
  for (std::size_t k = 1; k < n; ++k) {
    const std::size_t begin = piece_start(bars, n, k);
    const std::size_t end = piece_start(bars, n, k + 1);
    const std::size_t from = begin > history ? begin - history : 0;
    FeaturePipeline& copy = copies.emplace_back(fresh());
    if (from == 0 && !reset_first) copy_state(*this, copy);
    pieces.push_back(Piece{&copy, copy.prepare_engine(std::min(end - from, copy.block_bars())), from, begin, end});
  }

  const RunStatus status = run_or_reset(
      *this, n,
      [&](std::size_t k, const std::function<bool()>& stop) {
        Piece& p = pieces[k];
        return p.pipeline->run_columns_range(p.engine, p.from, p.write_from, p.to, k == 0 && reset_first, inputs,
                                             outputs, stop);
      },
      interrupted);
  if (status == RunStatus::interrupted) return status;
  // The last piece's copy saw at least the history before the run's end,
  // so its state is the one a single run leaves.
  copy_state(copies.back(), *this);
  return RunStatus::done;
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

  const std::size_t width = result.width;
  run_engine(
      bars, true,
      [&](std::size_t begin, std::size_t end, double* const* values, std::uint8_t* const* valid) {
        for (const Load& l : loads_) {
          double* v = values[l.slot];
          std::uint8_t* ok = valid[l.slot];
          for (std::size_t i = begin; i < end; ++i) {
            const Value& x = data.values[data.offsets[i] + l.position];
            ok[i - begin] = x.has_value();
            v[i - begin] = x ? *x : 0.0;
          }
        }
      },
      [&](std::size_t begin, std::size_t end, double* const* values, std::uint8_t* const* valid) {
        for (std::size_t i = begin; i < end; ++i)
          for (std::size_t k = 0; k < width; ++k)
            result.values.push_back(valid[k][i - begin] ? Value(values[k][i - begin]) : kMissing);
      },
      {});
  return result;
}

Result<RunStatus> FeaturePipeline::run_columns(std::size_t bars, std::span<const StridedColumn> inputs,
                                               std::span<const StridedOutput> outputs, bool reset_first,
                                               const std::function<bool()>& interrupted, RunThreads threads) {
  if (inputs.size() < input_columns_.size())
    return invalid_input("data must hold one column per input column: expected " +
                         std::to_string(input_columns_.size()) + ", got " + std::to_string(inputs.size()));
  if (outputs.size() < output_names_.size())
    return invalid_input("outputs must hold one column per output name: expected " +
                         std::to_string(output_names_.size()) + ", got " + std::to_string(outputs.size()));
  if (const std::size_t n = pieces(bars, threads); n > 1)
    return run_pieces(bars, n, *history(), reset_first, inputs, outputs, interrupted);
  if (threads.count > 1)
    if (const auto status = run_mixed(bars, inputs, outputs, reset_first, interrupted, threads)) return *status;
  Engine e = prepare_engine(std::min(bars, block_bars()));
  return run_columns_range(e, 0, 0, bars, reset_first, inputs, outputs, interrupted);
}

RunStatus FeaturePipeline::run_columns_range(Engine& e, std::size_t from, std::size_t write_from, std::size_t to,
                                             bool reset_first, std::span<const StridedColumn> inputs,
                                             std::span<const StridedOutput> outputs,
                                             const std::function<bool()>& interrupted) {
  const std::size_t width = output_names_.size();
  // Both only touch bars [begin, end): pieces on other threads share them.
  // At this boundary NaN marks a missing value.
  auto load = [&](std::size_t begin, std::size_t end, double* const* values, std::uint8_t* const* valid) {
    for (const Load& l : loads_) {
      const StridedColumn& c = inputs[l.position];
      lane_load(end - begin, c.data + static_cast<std::ptrdiff_t>(begin) * c.stride, c.stride, values[l.slot],
                valid[l.slot]);
    }
  };
  auto store = [&](std::size_t begin, std::size_t end, double* const* values, std::uint8_t* const* valid) {
    const auto at = static_cast<std::ptrdiff_t>(begin);
    for (std::size_t k = 0; k < width; ++k) {
      const StridedOutput& o = outputs[k];
      store_column(end - begin, values[k], valid[k], o.data + at * o.stride, o.stride,
                   o.present ? o.present + at * o.present_stride : nullptr, o.present_stride, o.stream);
    }
  };
  // Every feature able to go straight over the caller's columns (one
  // input column read, one output written, both contiguous): blocks of at
  // least the bars each needs go that way, shorter ones (and the bars
  // before write_from, which only bring the features up to date) through
  // the engine; both leave the same state.
  const std::vector<Direct> direct = direct_steps(inputs, outputs);
  if (direct.empty()) return run_range(e, from, write_from, to, reset_first, load, store, interrupted);
  if (from < write_from) {
    if (run_range(e, from, write_from, write_from, reset_first, load, store, interrupted) == RunStatus::interrupted)
      return RunStatus::interrupted;
    from = write_from;
    reset_first = false;
  }
  std::size_t least = 0;
  for (const Direct& d : direct) least = std::max(least, d.feature->direct_bars());
  if (reset_first) reset();
  for (std::size_t begin = from; begin < to;) {
    const std::size_t n = std::min(e.block, to - begin);
    if (n < least) {
      if (run_range(e, begin, begin, begin + n, false, load, store, interrupted) == RunStatus::interrupted)
        return RunStatus::interrupted;
    } else {
      if (interrupted && interrupted()) {
        reset();
        return RunStatus::interrupted;
      }
      for (const Direct& d : direct) {
        const StridedOutput& o = outputs[d.output];
        d.feature->run_direct(n, inputs[d.input].data + begin, o.data + begin, o.present ? o.present + begin : nullptr);
      }
    }
    begin += n;
  }
  return RunStatus::done;
}

std::vector<FeaturePipeline::Direct> FeaturePipeline::direct_steps(std::span<const StridedColumn> inputs,
                                                                   std::span<const StridedOutput> outputs) const {
  std::vector<Direct> direct;
  for (const Step& step : steps_) {
    if (step.feature->direct_bars() == 0 || step.in_end - step.in_begin != 1 || step.gather != 1 ||
        step.out_count != 1)
      return {};
    // Slots 1 .. output count are outputs, even one named like an input
    // column (its readers read the output).
    const std::size_t slot = read_slots_[step.in_begin];
    if (slot <= output_names_.size()) return {};
    const auto load = std::find_if(loads_.begin(), loads_.end(), [&](const Load& l) { return l.slot == slot; });
    if (load == loads_.end()) return {};
    const std::size_t k = step.out_begin - 1;
    const StridedColumn& in = inputs[load->position];
    const StridedOutput& out = outputs[k];
    if (in.stride != 1 || out.stride != 1 || (out.present && out.present_stride != 1)) return {};
    direct.push_back({step.feature.get(), load->position, k});
  }
  return direct;
}


std::optional<RunStatus> FeaturePipeline::run_mixed(std::size_t bars, std::span<const StridedColumn> inputs,
                                                    std::span<const StridedOutput> outputs, bool reset_first,
                                                    const std::function<bool()>& interrupted, RunThreads threads) {
  // Too short for a piece beside the recursions: nothing is made.
  if (bars < std::max<std::size_t>(threads.piece_bars ? threads.piece_bars : RunThreads::kPieceBars, 2))
    return std::nullopt;
  const FeaturePlan plan = plan_of(*this);
  if (plan.history) return std::nullopt;  // every chain bounded: pieces() decided
  const std::size_t count = steps_.size();
  std::vector<Feature*> mine(count);
  for (Step& step : steps_) mine[step.caller_index] = step.feature.get();
  std::unordered_map<std::string, std::size_t> producer;
  for (std::size_t i = 0; i < count; ++i)
    for (const std::string& name : mine[i]->output_names()) producer.emplace(name, i);

  // Whole on one thread: the recursions and, along their chains, every
  // feature they read. Cut into pieces: every feature of bounded memory.
  std::vector<bool> whole(count);
  std::vector<std::size_t> stack;
  for (std::size_t i = 0; i < count; ++i)
    if (!plan.features[i].chain_memory) whole[i] = true, stack.push_back(i);
  while (!stack.empty()) {
    const std::size_t i = stack.back();
    stack.pop_back();
    for (const std::string& name : plan.features[i].reads)
      if (const auto it = producer.find(name); it != producer.end() && it->second != i && !whole[it->second])
        whole[it->second] = true, stack.push_back(it->second);
  }
  std::vector<std::size_t> runner_ids, split_ids;
  for (std::size_t i = 0; i < count; ++i) {
    if (whole[i]) runner_ids.push_back(i);
    if (plan.features[i].chain_memory) split_ids.push_back(i);
  }
  if (split_ids.empty()) return std::nullopt;
  auto subset = [&](const std::vector<std::size_t>& ids) -> std::optional<FeaturePipeline> {
    std::vector<std::unique_ptr<Feature>> fs;
    for (const std::size_t id : ids) fs.push_back(mine[id]->fresh());
    auto made = create(std::move(fs), input_columns_);
    if (!made) return std::nullopt;  // reads a name only a recursion gives (never valid)
    return std::move(*made);
  };

  // The bounded features' bars are cut into pieces taken in turn by
  // whichever thread is free; the calling thread runs the recursions first,
  // then joins in. So the work evens out whatever each feature costs.
  const std::size_t t = std::min(threads.count, RunThreads::kMost);
  std::optional<FeaturePipeline> runner = subset(runner_ids);
  std::optional<FeaturePipeline> proto = subset(split_ids);
  if (!runner || !proto) return std::nullopt;
  const std::size_t h = proto->history().value_or(0);
  const std::size_t least = threads.piece_bars ? threads.piece_bars : std::max(RunThreads::kPieceBars, 2 * h);
  constexpr std::size_t kPiecesPerThread = 16;
  const std::size_t piece_count = std::max<std::size_t>(1, bars / std::max(least, bars / (kPiecesPerThread * t)));

  // Every copy, buffer and output map is made before anything changes.
  std::unordered_map<std::string, std::size_t> out_at;
  for (std::size_t k = 0; k < output_names_.size(); ++k) out_at.emplace(output_names_[k], k);
  double scratch = 0.0;
  std::uint8_t scratch_present = 0;
  std::vector<StridedOutput> runner_outputs;
  for (const std::string& name : runner->output_names()) {
    if (plan.features[producer.at(name)].chain_memory)  // written by the pieces
      runner_outputs.push_back({&scratch, 0, outputs[out_at.at(name)].present ? &scratch_present : nullptr, 0});
    else
      runner_outputs.push_back(outputs[out_at.at(name)]);
  }
  std::vector<StridedOutput> split_outputs;
  for (const std::string& name : proto->output_names()) split_outputs.push_back(outputs[out_at.at(name)]);

  // One copy of the bounded features per thread, reused piece after
  // piece: reset and fed from the piece's history (the pipeline's own state
  // for a first piece that continues it), so it gives exactly what a fresh
  // copy would. Made before anything changes, whatever the piece count.
  struct Worker {
    FeaturePipeline copy;
    Engine engine;
  };
  const std::size_t thread_count = std::min(t, piece_count + 1);
  const std::size_t longest = piece_start(bars, piece_count, 1) + h;
  std::vector<Worker> workers;
  workers.reserve(thread_count);
  for (std::size_t k = 0; k < thread_count; ++k) {
    FeaturePipeline copy = proto->fresh();
    Engine engine = copy.prepare_engine(std::min(longest, copy.block_bars()));
    workers.push_back(Worker{std::move(copy), std::move(engine)});
  }
  if (!reset_first)
    for (Step& step : runner->steps_) copy_state(*mine[runner_ids[step.caller_index]], *step.feature);
  Engine runner_engine = runner->prepare_engine(std::min(bars, runner->block_bars()));
  std::atomic<std::size_t> next{0};
  std::size_t last_worker = 0;  // the one that ran the last piece

  const RunStatus status = run_or_reset(
      *this, thread_count,
      [&](std::size_t k, const std::function<bool()>& stop) {
        if (k == 0) {
          const RunStatus done =
              runner->run_columns_range(runner_engine, 0, 0, bars, false, inputs, runner_outputs, stop);
          if (done != RunStatus::done) return done;
        }
        Worker& w = workers[k];
        for (std::size_t i = next++; i < piece_count; i = next++) {
          const std::size_t begin = piece_start(bars, piece_count, i);
          const std::size_t end = piece_start(bars, piece_count, i + 1);
          const std::size_t from = begin > h ? begin - h : 0;
          const bool continues = from == 0 && !reset_first;
          if (continues)
            for (Step& step : w.copy.steps_) copy_state(*mine[split_ids[step.caller_index]], *step.feature);
          const RunStatus done =
              w.copy.run_columns_range(w.engine, from, begin, end, !continues, inputs, split_outputs, stop);
          if (done != RunStatus::done) return done;
          if (i + 1 == piece_count) last_worker = k;
        }
        return RunStatus::done;
      },
      interrupted);
  if (status == RunStatus::interrupted) return status;
  // The state one run leaves: the recursions' from the whole run, the
  // others' from the last piece, which saw at least their history.
  for (Step& step : workers[last_worker].copy.steps_) copy_state(*step.feature, *mine[split_ids[step.caller_index]]);
  for (Step& step : runner->steps_)
    if (const std::size_t i = runner_ids[step.caller_index]; !plan.features[i].chain_memory)
      copy_state(*step.feature, *mine[i]);
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

FeaturePipeline FeaturePipeline::fresh() const {
  std::vector<std::unique_ptr<Feature>> features;
  features.reserve(steps_.size());
  for (const Feature* f : features_in_caller_order()) features.push_back(f->fresh());
  auto made = create(std::move(features), input_columns_);
  // Cannot happen: the same features over the same columns built before.
  if (!made) throw std::logic_error("fresh: " + made.error().message());
  return std::move(*made);
}

void FeaturePipeline::visit_state(StateIO& io, const std::function<void(std::size_t)>& each) {
  std::uint64_t count = steps_.size();
  io(count);
  if (io.failed()) return;
  if (count != steps_.size())
    return io.fail("the state holds " + std::to_string(count) + " features, the pipeline " +
                   std::to_string(steps_.size()));
  for (std::size_t index = 0; index < steps_.size(); ++index) {
    const Step& step = steps_[index];
    const FeatureDescription* type = description_of(*step.feature);
    const std::string name = type ? type->name : "";
    std::string saved = name;
    io(saved);
    if (io.failed()) return;
    if (saved != name) {
      const bool shown = saved.size() <= 64 && std::all_of(saved.begin(), saved.end(), [](char c) {
                           return c >= 'A' && c <= 'z';
                         });
      return io.fail("the state holds " + (shown ? "a " + saved : std::string("an unknown type")) +
                     " where the pipeline has a " + name);
    }
    each(index);
    if (io.failed()) return;
  }
}

void FeaturePipeline::state(StateIO& io) {
  visit_state(io, [&](std::size_t index) { steps_[index].feature->state(io); });
}

std::size_t FeaturePipeline::warm_up_period() const {
  std::size_t most = 0;
  for (const Step& step : steps_) most = std::max(most, step.feature->warm_up_period());
  return most;
}

}  // namespace sarvek
