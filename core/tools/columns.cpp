#include "core/tools/columns.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/simd/kernels.h"
#include "core/window.h"

namespace sarvek {

Column shift(std::span<const Value> c, std::ptrdiff_t k) {
  const std::size_t n = c.size();
  Column out(n, kMissing);
  if (k >= 0) {
    const auto lag = static_cast<std::size_t>(k);
    if (lag < n) std::copy(c.begin(), c.end() - static_cast<std::ptrdiff_t>(lag), out.begin() + k);
  } else {
    // -(k + 1) + 1 rather than -k, so the most negative offset cannot overflow.
    const std::size_t lead = static_cast<std::size_t>(-(k + 1)) + 1;
    if (lead < n) std::copy(c.begin() + static_cast<std::ptrdiff_t>(lead), c.end(), out.begin());
  }
  return out;
}

Column pct_change(std::span<const Value> base, std::span<const Value> later) {
  const std::size_t n = std::min(base.size(), later.size());
  Column out(n, kMissing);
  for (std::size_t i = 0; i < n; ++i) {
    const Value& b = base[i];
    const Value& a = later[i];
    if (b && a && *b > 0.0) out[i] = (*a - *b) / *b;
  }
  return out;
}

Column log_ratio(std::span<const Value> base, std::span<const Value> later) {
  const std::size_t n = std::min(base.size(), later.size());
  Column out(n, kMissing);
  for (std::size_t i = 0; i < n; ++i) {
    const Value& b = base[i];
    const Value& a = later[i];
    // One division, one logarithm: not the difference of two logarithms.
    if (b && a && *b > 0.0 && *a > 0.0) out[i] = std::log(*a / *b);
  }
  return out;
}

Column rolling_std(std::span<const Value> c, std::size_t w) {
  const std::size_t n = c.size();
  Column out(n, kMissing);
  if (w < 2 || w > n) return out;  // a deviation of fewer than two values is undefined
  // The window of entry i is c[i + 1 - w .. i]; the first full one ends at
  // w - 1. Mean and deviation come from the same window arithmetic as the
  // features' (lanes::mean_sd), re-summed at every position.
  std::vector<double> values(n);
  std::vector<std::uint8_t> present(n);
  for (std::size_t i = 0; i < n; ++i) {
    present[i] = c[i].has_value();
    values[i] = c[i] ? *c[i] : 0.0;
  }
  const std::size_t windows = n - w + 1;
  std::vector<std::uint8_t> complete(windows);
  std::vector<double> sd(windows);
  complete_windows(present.data(), windows, w, complete.data());
  simd::kernels().sample_sd(values.data(), windows, w, sd.data());  // a zero variance gives 0, a value
  for (std::size_t k = 0; k < windows; ++k)
    if (complete[k]) out[k + w - 1] = sd[k];
  return out;
}

}  // namespace sarvek
