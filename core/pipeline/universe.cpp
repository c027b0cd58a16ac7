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
  for (const FeaturePipeline::Step& step : prototype_.steps_) {
    Node node{step.feature->lanes(), {}, step.out_begin, step.out_count};
    if (!node.block) node.block = std::make_unique<FeatureLanes>(*step.feature);
    for (std::size_t k = step.in_begin; k < step.in_end; ++k) node.reads.push_back(prototype_.read_slots_[k]);
    // Positions beyond the ones read are handed over missing (slot 0).
    node.reads.resize(std::max(step.gather, node.reads.size()), 0);
    widest_in = std::max(widest_in, node.reads.size());
    widest_out = std::max(widest_out, node.out_count);
    nodes_.push_back(std::move(node));
  }
  in_.resize(widest_in);
  out_.resize(widest_out);
  reserve(symbols);
  used_ = symbols;
  std::fill(active_.begin(), active_.begin() + static_cast<std::ptrdiff_t>(used_), std::uint8_t{1});
}

void Universe::reserve(std::size_t lanes) {
  if (lanes <= room_ && room_ > 0) return;
  std::size_t room = std::max<std::size_t>(room_ * 2, kLaneBlock);
  while (room < lanes) room *= 2;
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
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double one_nan = Feature::one_nan();
  const std::size_t n = used_;
  std::uint8_t* active = active_.data();
  for (std::size_t i = 0; i < n; ++i)
    active[i] = present == nullptr || present[static_cast<std::ptrdiff_t>(i) * present_stride] != 0;
  for (const FeaturePipeline::Load& load : prototype_.loads_) {
    double* __restrict v = values(load.slot);
    std::uint8_t* __restrict f = valid(load.slot);
    const double* __restrict column = bars.data + static_cast<std::ptrdiff_t>(load.position) * bars.column_stride;
    const std::ptrdiff_t step = bars.row_stride;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = column[static_cast<std::ptrdiff_t>(i) * step];
      v[i] = x;
      f[i] = x == x;
    }
  }
  for (Node& node : nodes_) {
    for (std::size_t k = 0; k < node.reads.size(); ++k) in_[k] = {values(node.reads[k]), valid(node.reads[k])};
    for (std::size_t k = 0; k < node.out_count; ++k) out_[k] = {values(node.out_begin + k), valid(node.out_begin + k)};
    node.block->update(n, std::span<const LaneIn>(in_.data(), node.reads.size()), active,
                       std::span<const LaneOut>(out_.data(), node.out_count));
    // What the readers of these outputs see, as through update(): nothing
    // from a symbol without a bar, and every NaN as the one NaN.
    for (std::size_t k = 0; k < node.out_count; ++k) {
      double* __restrict v = values(node.out_begin + k);
      std::uint8_t* __restrict f = valid(node.out_begin + k);
      const std::uint8_t* __restrict on = active;
      for (std::size_t i = 0; i < n; ++i) {
        f[i] = f[i] & on[i];
        v[i] = v[i] != v[i] ? one_nan : v[i];
      }
    }
  }
  // Row by row, so that each row of `out` is written once, in order.
  for (std::size_t i = 0; i < n; ++i) {
    double* __restrict row = out + i * outputs_;
    for (std::size_t k = 0; k < outputs_; ++k) row[k] = valid_[(1 + k) * room_ + i] ? values_[(1 + k) * room_ + i] : nan;
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
  for (std::size_t k = 0; k < nodes_.size(); ++k) nodes_[k].block->adopt(index, std::move(copy.steps_[k].feature));
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
    self.prototype_.visit_state(io, [&](std::size_t k) { self.nodes_[k].block->state(i, io); });
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
    restored.prototype_.visit_state(io, [&](std::size_t k) { restored.nodes_[k].block->state(i, io); });
    if (io.failed()) return invalid_input("state of symbol " + std::to_string(i) + ": " + io.error());
  }
  if (io.remaining() != 0)
    return invalid_input("state: " + std::to_string(io.remaining()) + " bytes left over after the last symbol");
  *this = std::move(restored);
  return {};
}

}  // namespace sarvek
