#include "core/tools/columns.h"

#include <algorithm>
#include <cmath>

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
  if (w < 2) return out;  // a deviation of fewer than two values is undefined
  const double count = static_cast<double>(w);
  const double dof = static_cast<double>(w - 1);
  // The window of entry i is c[i + 1 - w .. i]; the first full one ends at w - 1.
  for (std::size_t end = w - 1; end < n; ++end) {
    const std::span<const Value> window = c.subspan(end + 1 - w, w);
    double sum = 0.0;
    bool complete = true;
    for (const Value& v : window) {
      if (!v) {
        complete = false;
        break;
      }
      sum += *v;
    }
    if (!complete) continue;
    const double mean = sum / count;
    double ss = 0.0;
    for (const Value& v : window) {
      const double d = *v - mean;
      ss += d * d;
    }
    out[end] = std::sqrt(ss / dof);
  }
  return out;
}

}  // namespace sarvek
