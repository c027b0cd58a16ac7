#include "core/pipeline/universe.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/state_io.h"

namespace sarvek {

Universe::Universe(const FeaturePipeline& prototype, std::size_t symbols)
    : prototype_(prototype.fresh()),
      inputs_(prototype.input_names().size()),
      outputs_(prototype.output_names().size()),
      slots_(prototype_.slots_.size()) {
  std::size_t widest_in = 0;
  std::size_t widest_out = 0;
  const auto& steps = prototype_.steps_;
  const auto reads_of = [&](const FeaturePipeline::Step& step) {
    std::vector<std::size_t> reads(prototype_.read_slots_.begin() + static_cast<std::ptrdiff_t>(step.in_begin),
                                   prototype_.read_slots_.begin() + static_cast<std::ptrdiff_t>(step.in_end));
    // Positions beyond the ones read are handed over missing (slot 0).
    reads.resize(std::max(step.gather, reads.size()), 0);
    return reads;
  };
  const auto writes_of = [](const FeaturePipeline::Step& step, std::vector<std::size_t>& writes) {
    for (std::size_t k = 0; k < step.out_count; ++k) writes.push_back(step.out_begin + k);
  };
  places_.assign(steps.size(), Place{0, 0});
  std::vector<bool> placed(steps.size(), false);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (placed[i]) continue;
    Node node{nullptr, reads_of(steps[i]), {}};
    writes_of(steps[i], node.writes);
    places_[i] = {nodes_.size(), 0};
    // A later step reading the same columns may run in this block: its
    // outputs then come before its turn, which is safe because only steps
    // after it read them.
    for (std::size_t j = i + 1; j < steps.size() && !node.block; ++j) {
      if (placed[j] || reads_of(steps[j]) != node.reads) continue;
      node.block = steps[i].feature->lanes_with(*steps[j].feature);
      if (!node.block) continue;
      writes_of(steps[j], node.writes);
      places_[j] = {nodes_.size(), 1};
      placed[j] = true;
    }
    if (!node.block) node.block = steps[i].feature->lanes();
    if (!node.block) node.block = std::make_unique<FeatureLanes>(*steps[i].feature);
    widest_in = std::max(widest_in, node.reads.size());
    widest_out = std::max(widest_out, node.writes.size());
    nodes_.push_back(std::move(node));
  }
  in_.resize(widest_in);
  out_.resize(widest_out);
  columns_.resize(inputs_, StridedColumn{nullptr, 0});
  reserve(symbols);
  used_ = symbols;
  std::fill(active_.begin(), active_.begin() + static_cast<std::ptrdiff_t>(used_), std::uint8_t{1});
}

void Universe::reserve(std::size_t lanes) {
  if (lanes <= room_ && room_ > 0) return;
  // Whole blocks: exactly as many as asked for when first sized (every
  // block costs each bar), doubling when symbols are added one by one.
  const std::size_t blocks = (lanes + kLaneBlock - 1) / kLaneBlock;
  const std::size_t room = std::max(room_ * 2, std::max<std::size_t>(blocks, 1) * kLaneBlock);
  for (Node& node : nodes_) node.block->reserve(room);
  // The columns only carry one call's values (slot 0 excepted): rebuilt.
  std::vector<double> values(slots_ * room, std::numeric_limits<double>::quiet_NaN());
  std::vector<std::uint8_t> valid(slots_ * room, 0);
  std::vector<std::uint8_t> active(room, 0);
  std::copy(active_.begin(), active_.end(), active.begin());
  values_ = std::move(values);
  valid_ = std::move(valid);
  active_ = std::move(active);
  room_ = room;
}

void Universe::update(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride, double* out) {
  advance(bars, present, present_stride);
  lane_unload(used_, outputs_, room_, values(1), valid(1), out);
}

bool Universe::in_lanes() const {
  return std::none_of(nodes_.begin(), nodes_.end(),
                      [](const Node& node) { return dynamic_cast<const FeatureLanes*>(node.block.get()); });
}

void Universe::advance(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride) {
  for (std::size_t c = 0; c < inputs_; ++c)
    columns_[c] = {bars.data + static_cast<std::ptrdiff_t>(c) * bars.column_stride, bars.row_stride};
  advance(std::span<const StridedColumn>(columns_), present, present_stride);
}

void Universe::advance(std::span<const StridedColumn> columns, const std::uint8_t* present,
                       std::ptrdiff_t present_stride) {
  const double one_nan = Feature::one_nan();
  const std::size_t n = used_;
  std::uint8_t* active = active_.data();
  for (std::size_t i = 0; i < n; ++i)
    active[i] = present == nullptr || present[static_cast<std::ptrdiff_t>(i) * present_stride] != 0;
  for (const FeaturePipeline::Load& load : prototype_.loads_)
    lane_load(n, columns[load.position].data, columns[load.position].stride, values(load.slot), valid(load.slot));
  for (Node& node : nodes_) {
    for (std::size_t k = 0; k < node.reads.size(); ++k) in_[k] = {values(node.reads[k]), valid(node.reads[k])};
    for (std::size_t k = 0; k < node.writes.size(); ++k) out_[k] = {values(node.writes[k]), valid(node.writes[k])};
    node.block->update(n, std::span<const LaneIn>(in_.data(), node.reads.size()), active,
                       std::span<const LaneOut>(out_.data(), node.writes.size()));
    // What the readers of these outputs see, as through update(): nothing
    // from a symbol without a bar, and every NaN as the one NaN.
    for (const std::size_t slot : node.writes) lane_settle(n, active, one_nan, values(slot), valid(slot));
  }
}

void Universe::add() {
  reserve(used_ + 1);
  ++used_;
}

void Universe::remove(std::size_t index) {
  for (Node& node : nodes_) node.block->remove(index, used_);
  --used_;
  active_[used_] = 0;
}

Result<RunStatus> Universe::warm(std::size_t index, std::size_t bars, std::span<const StridedColumn> inputs,
                                 const std::function<bool()>& interrupted) {
  if (inputs.size() != inputs_)
    return invalid_input("warm needs one column per input column: expected " + std::to_string(inputs_) + ", got " +
                         std::to_string(inputs.size()));
  FeaturePipeline copy = prototype_.fresh();
  // The outputs of the history are not kept: every one lands on one double.
  double discard = 0.0;
  const std::vector<StridedOutput> outputs(outputs_, StridedOutput{&discard, 0});
  auto status = copy.run_columns(bars, inputs, outputs, true, interrupted);
  if (!status || *status != RunStatus::done) return status;
  for (std::size_t k = 0; k < places_.size(); ++k)
    nodes_[places_[k].node].block->adopt(index, std::move(copy.steps_[k].feature), places_[k].part);
  return status;
}

Result<std::string> Universe::save() const {
  std::string out;
  StateIO io = StateIO::writer(out);
  std::uint64_t count = used_;
  io(count);
  // Saving only reads the lanes; the visit is shared with loading.
  auto& self = const_cast<Universe&>(*this);
  for (std::size_t i = 0; i < used_; ++i) {
    self.prototype_.visit_state(io, [&](std::size_t k) {
      self.nodes_[self.places_[k].node].block->part_state(i, io, self.places_[k].part);
    });
    if (io.failed()) return invalid_input(io.error());
  }
  return out;
}

Result<void> Universe::load(std::span<const unsigned char> state) {
  StateIO io = StateIO::reader(state);
  std::uint64_t count = 0;
  io(count);
  if (io.failed()) return invalid_input("state: " + io.error());
  // Every symbol's state takes at least its feature count: a larger count
  // is corruption, refused before anything is built for it.
  if (count > io.remaining() / sizeof(std::uint64_t))
    return invalid_input("state: it claims " + std::to_string(count) + " symbols, more than its " +
                         std::to_string(io.remaining()) + " bytes can hold (truncated or corrupted)");
  Universe restored(prototype_, static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    restored.prototype_.visit_state(io, [&](std::size_t k) {
      restored.nodes_[restored.places_[k].node].block->part_state(i, io, restored.places_[k].part);
    });
    if (io.failed()) return invalid_input("state of symbol " + std::to_string(i) + ": " + io.error());
  }
  if (io.remaining() != 0)
    return invalid_input("state: " + std::to_string(io.remaining()) + " bytes left over after the last symbol");
  *this = std::move(restored);
  return {};
}

}  // namespace sarvek
