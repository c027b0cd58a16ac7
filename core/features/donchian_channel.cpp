#include "core/features/donchian_channel.h"

#include <functional>
#include <string>

#include "core/features/order_window.h"
#include "core/lanes.h"

namespace sarvek {
namespace {

constexpr const char* kInputsConstraint = "must contain high and low columns";
constexpr const char* kOutputsConstraint = "must contain exactly 3 names: [upper, lower, middle]";

}  // namespace

Result<void> DonchianChannel::check_arguments(const Names& inputs, std::size_t window, const Names& outputs) {
  if (inputs.size() < 2) return invalid_input(std::string("inputs ") + kInputsConstraint);
  if (outputs.size() != 3) return invalid_input(std::string("outputs ") + kOutputsConstraint);
  if (window == 0) return invalid_input("window must be non-zero");
  return {};
}

// A bar is one entry (high, low), missing when either is.
Values DonchianChannel::value() {
  const double upper = lanes::window_max<double>(buffer_.values(0), window_);
  const double lower = lanes::window_min<double>(buffer_.values(1), window_);
  return {upper, lower, lanes::midpoint(upper, lower)};
}

void DonchianChannel::column(const StagedRun<2>& r, std::span<const ColumnOut> o) {
  room_.resize(r.span);
  window_extremes<std::greater<double>>(r.values[0], r.bars, r.span, o[0].values, room_.data());
  window_extremes<std::less<double>>(r.values[1], r.bars, r.span, o[1].values, room_.data());
  for (std::size_t i = 0; i < r.bars; ++i) o[2].values[i] = lanes::midpoint(o[0].values[i], o[1].values[i]);
}

const FeatureDescription& DonchianChannel::description() {
  static const FeatureDescription d = window_description<DonchianChannel>(
      "DonchianChannel",
      "Donchian channel over a window (usually 20): the highest high, the lowest low and their midpoint; "
      "NaN where a NaN is in the window.",
      "Process one bar. Returns ``[upper, lower, middle]``, ``NaN`` during warm-up or on missing "
      "input.",
      {names_param("inputs", kInputsConstraint, 2), count_param("window", "must be non-zero", 1),
       names_param("outputs", kOutputsConstraint, 3)},
      2, 3);
  return d;
}

}  // namespace sarvek
