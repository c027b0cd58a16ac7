#include "core/tools/columns.h"

#include <algorithm>
#include <cstdint>
#include <limits>
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
    if (b && a && pct_change_defined(*b)) out[i] = pct_change_of(*b, *a);
  }
  return out;
}

Column log_ratio(std::span<const Value> base, std::span<const Value> later) {
  const std::size_t n = std::min(base.size(), later.size());
  Column out(n, kMissing);
  for (std::size_t i = 0; i < n; ++i) {
    const Value& b = base[i];
    const Value& a = later[i];
    if (b && a && log_ratio_defined(*b, *a)) out[i] = log_ratio_of(*b, *a);
  }
  return out;
}

Column rolling_std(std::span<const Value> c, std::size_t w) {
  const std::size_t n = c.size();
  Column out(n, kMissing);
  if (w < 2 || w > n) return out;  // a deviation of fewer than two values is undefined
  // The window of entry i is c[i + 1 - w .. i]; the first full one ends at
  // w - 1, so entry i is window_sd's window i + 1 - w.
  std::vector<double> values(n);
  std::vector<std::uint8_t> present(n);
  for (std::size_t i = 0; i < n; ++i) {
    present[i] = c[i].has_value();
    values[i] = c[i] ? *c[i] : 0.0;
  }
  const std::size_t windows = n - w + 1;
  std::vector<double> sd(windows);
  std::vector<std::uint8_t> ok(windows);
  window_sd(windows, {values.data(), present.data()}, w, {sd.data(), ok.data()});
  for (std::size_t k = 0; k < windows; ++k)
    if (ok[k]) out[k + w - 1] = sd[k];
  return out;
}

void pct_change(std::size_t n, ColumnIn base, ColumnIn later, ColumnOut out) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < n; ++i) {
    const double b = base.values[i];
    const double a = later.values[i];
    const bool ok = (base.valid[i] & later.valid[i]) != 0 && pct_change_defined(b);
    out.valid[i] = ok;
    out.values[i] = ok ? pct_change_of(b, a) : nan;
  }
}

void log_ratio(std::size_t n, ColumnIn base, ColumnIn later, ColumnOut out) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < n; ++i) {
    const double b = base.values[i];
    const double a = later.values[i];
    const bool ok = (base.valid[i] & later.valid[i]) != 0 && log_ratio_defined(b, a);
    out.valid[i] = ok;
    out.values[i] = ok ? log_ratio_of(b, a) : nan;
  }
}

void window_sd(std::size_t windows, ColumnIn c, std::size_t w, ColumnOut out) {
  if (windows == 0) return;
  if (w < 2) {
    fill_missing(std::span<const ColumnOut>(&out, 1), windows);
    return;
  }
  complete_windows(c.valid, windows, w, out.valid);
  simd::kernels().sample_sd(c.values, windows, w, out.values);
}

}  // namespace sarvek
