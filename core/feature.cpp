#include "core/feature.h"

#include "core/catalog.h"
#include "core/lane_block.h"
#include "core/state_io.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace sarvek {

std::string Feature::short_bar_message(std::size_t got) const {
  const std::size_t need = values_read();
  return "values must hold at least " + std::to_string(need) + (need == 1 ? " value" : " values") +
         ", got " + std::to_string(got);
}

Result<void> Feature::run_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  const std::size_t need = values_read();
  if (in.size() < need)
    return invalid_input("columns must hold at least " + std::to_string(need) + (need == 1 ? " column" : " columns") +
                         ", got " + std::to_string(in.size()));
  const std::size_t names = output_names().size();
  if (out.size() != names)
    return invalid_input("outputs must hold one column per output name: expected " + std::to_string(names) +
                         ", got " + std::to_string(out.size()));
  if (bars != 0) step_columns(bars, in, out);
  // Which of two NaNs an operation returns (their signs and payloads
  // differ: inf - inf is a negative NaN on x86) depends on the operand order
  // the compiler picked, which may differ between the SIMD paths and
  // update(). Every output NaN is written as one NaN, so every path, and
  // every feature reading these columns, sees the same bits.
  settle_nans(bars, out);
  return {};
}

void Feature::settle_nans(std::size_t bars, std::span<const ColumnOut> out) {
  for (const ColumnOut& o : out) one_nan_column(bars, one_nan(), o.values);
}

bool Feature::runs_with(const Feature&) const { return false; }

bool Feature::run_columns_with(Feature&, std::size_t, std::span<const ColumnIn>, std::span<const ColumnOut>,
                               std::span<const ColumnOut>) {
  return false;
}

double Feature::one_nan() { return __builtin_nan(""); }

void Feature::run_direct(std::size_t, const double*, double*, std::uint8_t*) {
  // Only called for a type whose direct_bars() is non-zero.
  throw std::logic_error("run_direct called on a feature without a direct column run");
}

void Feature::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  std::vector<Value> bar(in.size());
  for (std::size_t i = 0; i < bars; ++i) {
    for (std::size_t j = 0; j < in.size(); ++j) bar[j] = in[j].valid[i] ? Value(in[j].values[i]) : kMissing;
    const Values got = step(bar);
    const std::size_t given = std::min(got.size(), out.size());
    for (std::size_t k = 0; k < given; ++k) {
      out[k].valid[i] = got[k].has_value();
      out[k].values[i] = got[k] ? *got[k] : std::numeric_limits<double>::quiet_NaN();
    }
    for (std::size_t k = given; k < out.size(); ++k) {
      out[k].valid[i] = 0;
      out[k].values[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
}

void Feature::state(StateIO& io) {
  const FeatureDescription* type = description_of(*this);
  io.unsupported(type ? type->name : "feature of a type outside the catalogue");
}

void fresh_invariant_broken() {
  throw std::logic_error("fresh: config was already validated at construction");
}

std::unique_ptr<LaneBlock> Feature::lanes() const { return nullptr; }

std::unique_ptr<LaneBlock> Feature::lanes_with(const Feature& later) const {
  (void)later;
  return nullptr;
}

}  // namespace sarvek
