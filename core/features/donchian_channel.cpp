#include "core/features/donchian_channel.h"

#include <functional>

#include "core/catalog.h"
#include "core/features/order_window.h"
#include "core/features/window_run.h"
#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr const char* kInputsConstraint = "must contain high and low columns";
constexpr const char* kOutputsConstraint = "must contain exactly 3 names: [upper, lower, middle]";

}  // namespace

DonchianChannel::DonchianChannel(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

Result<DonchianChannel> DonchianChannel::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 2) return invalid_input(std::string("inputs ") + kInputsConstraint);
  if (outputs.size() != 3) return invalid_input(std::string("outputs ") + kOutputsConstraint);
  if (window == 0) return invalid_input("window must be non-zero");
  return DonchianChannel(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> DonchianChannel::fresh() const {
  return rebuild<DonchianChannel>(inputs_, window_, outputs_);
}

// A bar is one entry (high, low), missing when either is.
Values DonchianChannel::step(std::span<const Value> values) {
  const bool present = values[0].has_value() && values[1].has_value();
  buffer_.push(present, {present ? *values[0] : 0.0, present ? *values[1] : 0.0});
  if (!buffer_.complete()) return {kMissing, kMissing, kMissing};
  const double upper = lanes::window_max<double>(buffer_.values(0), window_);
  const double lower = lanes::window_min<double>(buffer_.values(1), window_);
  return {upper, lower, lanes::midpoint(upper, lower)};
}

void DonchianChannel::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 3, Marks::complete_windows, InputEntries<2>{in},
             [this](const StagedRun<2>& r, std::span<const ColumnOut> o) {
               room_.resize(r.span);
               window_extremes<std::greater<double>>(r.values[0], r.bars, r.span, o[0].values, room_.data());
               window_extremes<std::less<double>>(r.values[1], r.bars, r.span, o[1].values, room_.data());
               for (std::size_t i = 0; i < r.bars; ++i) o[2].values[i] = lanes::midpoint(o[0].values[i], o[1].values[i]);
             });
}

const FeatureDescription& DonchianChannel::description() {
  static const FeatureDescription d{
      .name = "DonchianChannel",
      .doc = "Donchian channel over a window (usually 20): the highest high, the lowest low and their midpoint; "
             "NaN where a NaN is in the window.",
      .update_doc = "Process one bar. Returns ``[upper, lower, middle]``, ``NaN`` during warm-up or on missing "
                    "input.",
      .params = {names_param("inputs", kInputsConstraint, 2),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", kOutputsConstraint, 3)},
      .reads = 2,
      .produces = 3,
      .memory = memory_window_minus_one,
      .make = make_windowed<DonchianChannel>,
      .is = is_a<DonchianChannel, Feature>,
      .arguments_of = windowed_arguments<DonchianChannel>,
  };
  return d;
}

}  // namespace sarvek
