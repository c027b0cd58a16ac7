#include "core/pipeline/universe.h"

#include <limits>
#include <utility>

#include "core/state_io.h"

namespace sarvek {

Universe::Universe(const FeaturePipeline& prototype, std::size_t symbols)
    : prototype_(prototype.fresh()),
      inputs_(prototype.input_names().size()),
      outputs_(prototype.output_names().size()) {
  slots_.reserve(symbols);
  for (std::size_t i = 0; i < symbols; ++i) slots_.push_back(prototype_.fresh());
  bar_.assign(inputs_, kMissing);
}

void Universe::update(StridedTable bars, const std::uint8_t* present, std::ptrdiff_t present_stride, double* out) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    double* row = out + i * outputs_;
    if (present && present[static_cast<std::ptrdiff_t>(i) * present_stride] == 0) {
      for (std::size_t k = 0; k < outputs_; ++k) row[k] = nan;
      continue;
    }
    for (std::size_t j = 0; j < inputs_; ++j) {
      const double x = bars.at(i, j);
      bar_[j] = x == x ? Value(x) : kMissing;
    }
    const auto got = slots_[i].update(bar_);
    // Cannot fail: the bar holds one value per input column.
    if (!got) throw std::logic_error("universe: a slot refused a full bar: " + got.error().message());
    for (std::size_t k = 0; k < outputs_; ++k) row[k] = (*got)[k] ? *(*got)[k] : nan;
  }
}

void Universe::add() { slots_.push_back(prototype_.fresh()); }

void Universe::remove(std::size_t index) { slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(index)); }

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
  if (!status) return status;
  if (*status == RunStatus::done) slots_[index] = std::move(copy);
  return status;
}

Result<std::string> Universe::save() const {
  std::string out;
  StateIO io = StateIO::writer(out);
  std::uint64_t count = slots_.size();
  io(count);
  // Saving only reads the features; the visit is shared with loading.
  for (const FeaturePipeline& slot : slots_) {
    const_cast<FeaturePipeline&>(slot).state(io);
    if (io.failed()) return invalid_input(io.error());
  }
  return out;
}

Result<void> Universe::load(std::span<const unsigned char> state) {
  StateIO io = StateIO::reader(state);
  std::uint64_t count = 0;
  io(count);
  if (io.failed()) return invalid_input("state: " + io.error());
  // Every slot's state takes at least its feature count: a larger count is
  // corruption, refused before anything is built for it.
  if (count > io.remaining() / sizeof(std::uint64_t))
    return invalid_input("state: it claims " + std::to_string(count) + " symbols, more than its " +
                         std::to_string(io.remaining()) + " bytes can hold (truncated or corrupted)");
  std::vector<FeaturePipeline> restored;
  restored.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    restored.push_back(prototype_.fresh());
    restored.back().state(io);
    if (io.failed()) return invalid_input("state of symbol " + std::to_string(i) + ": " + io.error());
  }
  if (io.remaining() != 0)
    return invalid_input("state: " + std::to_string(io.remaining()) + " bytes left over after the last symbol");
  slots_ = std::move(restored);
  return {};
}

}  // namespace sarvek
