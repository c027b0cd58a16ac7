#include "core/pipeline/panel.h"

#include <algorithm>

#include "core/lane_block.h"
#include "core/pipeline/universe.h"

namespace sarvek {

std::vector<std::size_t> panel_steps(std::span<const std::uint32_t> codes, std::size_t groups) {
  std::vector<std::size_t> starts;
  // seen[g]: the step that last took a row of group g, plus one.
  std::vector<std::size_t> seen(groups, 0);
  for (std::size_t r = 0; r < codes.size(); ++r) {
    const std::uint32_t g = codes[r];
    if (starts.empty() || seen[g] == starts.size()) starts.push_back(r);
    seen[g] = starts.size();
  }
  starts.push_back(codes.size());
  return starts;
}

bool panel_pays(std::size_t steps, std::size_t rows, std::size_t groups) {
  const std::size_t lanes = (groups + kLaneBlock - 1) / kLaneBlock * kLaneBlock;
  return groups > 1 && steps <= rows && steps * lanes <= 2 * rows;
}

Result<RunStatus> run_panel(const FeaturePipeline& prototype, std::span<const std::uint32_t> codes,
                            std::span<const std::size_t> starts, std::size_t first, std::size_t last,
                            std::span<const StridedColumn> inputs, std::span<const StridedOutput> outputs,
                            const std::function<bool()>& interrupted) {
  if (inputs.size() != prototype.input_names().size() || outputs.size() != prototype.output_names().size())
    return invalid_input("a panel run needs one column per input column and per output");
  const std::size_t lanes = last - first;
  Universe universe(prototype, lanes);
  const std::size_t width = inputs.size();
  // A step holding these groups' rows one after the other, in group order
  // (a table with a row for every group at every step): read and written
  // in place. Any other step's bars are gathered lane by lane (a lane
  // without a row is not read) and its results put back row by row.
  std::vector<double> bars(std::max<std::size_t>(lanes * width, 1), 0.0);
  std::vector<std::uint8_t> present(lanes, 0);
  const std::vector<std::uint8_t> everyone(lanes, 1);
  std::vector<StridedColumn> gathered(width);
  for (std::size_t c = 0; c < width; ++c) gathered[c] = {bars.data() + c, static_cast<std::ptrdiff_t>(width)};
  std::vector<StridedColumn> in_place(width);
  constexpr std::size_t kCheckEvery = 256;
  for (std::size_t j = 0; j + 1 < starts.size(); ++j) {
    if (interrupted && j % kCheckEvery == kCheckEvery - 1 && interrupted()) return RunStatus::interrupted;
    const std::size_t begin = starts[j];
    const std::size_t end = starts[j + 1];
    const std::size_t at = begin + (first - std::min<std::size_t>(first, codes[begin]));
    bool whole = at + lanes <= end;
    for (std::size_t i = 0; whole && i < lanes; ++i) whole = codes[at + i] == first + i;
    if (whole) {
      for (std::size_t c = 0; c < width; ++c)
        in_place[c] = {inputs[c].data + static_cast<std::ptrdiff_t>(at) * inputs[c].stride, inputs[c].stride};
      universe.advance(in_place, everyone.data(), 1);
      const auto row = static_cast<std::ptrdiff_t>(at);
      for (std::size_t k = 0; k < outputs.size(); ++k) {
        const StridedOutput& o = outputs[k];
        store_column(lanes, universe.output_values(k), universe.output_valid(k), o.data + row * o.stride, o.stride,
                     o.present ? o.present + row * o.present_stride : nullptr, o.present_stride, o.stream);
      }
      continue;
    }
    bool any = false;
    for (std::size_t r = begin; r < end; ++r) {
      const std::size_t g = codes[r];
      if (g < first || g >= last) continue;
      double* bar = bars.data() + (g - first) * width;
      for (std::size_t c = 0; c < width; ++c) bar[c] = inputs[c][r];
      present[g - first] = 1;
      any = true;
    }
    if (!any) continue;
    universe.advance(gathered, present.data(), 1);
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      const double* v = universe.output_values(k);
      const std::uint8_t* f = universe.output_valid(k);
      for (std::size_t r = begin; r < end; ++r) {
        const std::size_t g = codes[r];
        if (g >= first && g < last) outputs[k].set(r, f[g - first] != 0, v[g - first]);
      }
    }
    for (std::size_t r = begin; r < end; ++r) {
      const std::size_t g = codes[r];
      if (g >= first && g < last) present[g - first] = 0;
    }
  }
  return RunStatus::done;
}

}  // namespace sarvek
