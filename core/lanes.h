#pragma once

// Per-window arithmetic written once for every lane type. V is `double`
// (one bar: the streaming update and the scalar column path) or a GCC
// vector of doubles (several bars at once, lane j holding bar j). Every lane
// performs exactly its bar's own sequence of operations: sums run oldest to
// newest from 0.0, squares are x * x, and add, subtract, multiply, divide
// and square root are correctly rounded per lane, so a lane gives the same
// bits as the one-bar code.
//
// `p` points at the oldest value of the first lane's window; lane j's
// window starts at p + j.
//
// The SIMD translation units include this header with SARVEK_LANES_NS set
// to their own name, so each instruction set gets its own copies of these
// inline functions and none leaks into code built for a plainer CPU.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#ifndef SARVEK_LANES_NS
#define SARVEK_LANES_NS base
#endif

namespace sarvek::lanes {
inline namespace SARVEK_LANES_NS {

// Several native vectors handled as one lane value: each operation runs on
// every part, so a window sum becomes U independent chains of adds that
// the CPU overlaps, while each lane still sees only its own bar's
// operations.
template <class N, std::size_t U>
struct Pack {
  N part[U];

  static constexpr std::size_t part_width = sizeof(N) / sizeof(double);

#define SARVEK_PACK_OP(op)                                                \
  friend Pack operator op(const Pack& a, const Pack& b) {                 \
    Pack r;                                                               \
    for (std::size_t u = 0; u < U; ++u) r.part[u] = a.part[u] op b.part[u]; \
    return r;                                                             \
  }                                                                       \
  friend Pack operator op(const Pack& a, double b) {                      \
    Pack r;                                                               \
    for (std::size_t u = 0; u < U; ++u) r.part[u] = a.part[u] op b;       \
    return r;                                                             \
  }                                                                       \
  friend Pack operator op(double a, const Pack& b) {                      \
    Pack r;                                                               \
    for (std::size_t u = 0; u < U; ++u) r.part[u] = a op b.part[u];       \
    return r;                                                             \
  }
  SARVEK_PACK_OP(+)
  SARVEK_PACK_OP(-)
  SARVEK_PACK_OP(*)
  SARVEK_PACK_OP(/)
  SARVEK_PACK_OP(&)
#undef SARVEK_PACK_OP

  Pack& operator+=(const Pack& b) {
    for (std::size_t u = 0; u < U; ++u) part[u] += b.part[u];
    return *this;
  }

#define SARVEK_PACK_CMP(op)                                                      \
  friend auto operator op(const Pack& a, const Pack& b) {                        \
    Pack<decltype(a.part[0] op b.part[0]), U> r;                                 \
    for (std::size_t u = 0; u < U; ++u) r.part[u] = a.part[u] op b.part[u];      \
    return r;                                                                    \
  }                                                                              \
  friend auto operator op(const Pack& a, double b) {                             \
    Pack<decltype(a.part[0] op b), U> r;                                         \
    for (std::size_t u = 0; u < U; ++u) r.part[u] = a.part[u] op b;              \
    return r;                                                                    \
  }
  SARVEK_PACK_CMP(==)
  SARVEK_PACK_CMP(!=)
  SARVEK_PACK_CMP(>)
#undef SARVEK_PACK_CMP

  auto operator[](std::size_t j) const { return part[j / part_width][j % part_width]; }
};

template <class V>
struct PackTraits {
  static constexpr bool is_pack = false;
};
template <class N, std::size_t U>
struct PackTraits<Pack<N, U>> {
  static constexpr bool is_pack = true;
  using Native = N;
  static constexpr std::size_t parts = U;
};

template <class V>
inline constexpr bool is_scalar = std::is_same_v<V, double>;
template <class V>
inline constexpr bool is_pack = PackTraits<V>::is_pack;

// Lanes per value of V.
template <class V>
inline constexpr std::size_t width = sizeof(V) / sizeof(double);

// The result of comparing two V: bool for double, a vector of all-ones or
// all-zeros 64-bit integers otherwise.
template <class V>
using Mask = decltype(V{} == V{});

template <class V>
inline V load(const double* p) {
  if constexpr (is_scalar<V>) {
    return *p;
  } else if constexpr (is_pack<V>) {
    // Part by part, so the parts stay in registers.
    using N = typename PackTraits<V>::Native;
    V v;
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) v.part[u] = load<N>(p + u * V::part_width);
    return v;
  } else {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}

template <class V>
inline V splat(double x) {
  if constexpr (is_scalar<V>) {
    return x;
  } else if constexpr (is_pack<V>) {
    V v;
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) v.part[u] = splat<typename PackTraits<V>::Native>(x);
    return v;
  } else {
    V v;
    for (std::size_t j = 0; j < width<V>; ++j) v[j] = x;
    return v;
  }
}

template <class V>
inline void store(double* p, V v) {
  if constexpr (is_scalar<V>) {
    *p = v;
  } else if constexpr (is_pack<V>) {
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) store(p + u * V::part_width, v.part[u]);
  } else {
    std::memcpy(p, &v, sizeof v);
  }
}

// Clears flags[j] where the lane's mask is false; leaves set flags alone
// where it is true.
template <class V>
inline void and_flags(std::uint8_t* flags, Mask<V> m) {
  if constexpr (is_scalar<V>) {
    flags[0] = static_cast<std::uint8_t>(flags[0] & static_cast<std::uint8_t>(m));
  } else {
    for (std::size_t j = 0; j < width<V>; ++j)
      flags[j] = static_cast<std::uint8_t>(flags[j] & static_cast<std::uint8_t>(m[j] != 0));
  }
}

// |v|: the sign bit cleared, as std::fabs does.
template <class V>
inline V abs(V v) {
  if constexpr (is_scalar<V>) {
    return std::fabs(v);
  } else if constexpr (is_pack<V>) {
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) v.part[u] = abs(v.part[u]);
    return v;
  } else {
    using I = Mask<V>;
    I bits;
    std::memcpy(&bits, &v, sizeof v);
    bits &= static_cast<std::int64_t>(0x7fffffffffffffffLL);
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
}

template <class V>
inline V sqrt(V v) {
  if constexpr (is_scalar<V>) {
    return std::sqrt(v);
  } else if constexpr (is_pack<V>) {
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) v.part[u] = sqrt(v.part[u]);
    return v;
  } else {
    for (std::size_t j = 0; j < width<V>; ++j) v[j] = __builtin_sqrt(v[j]);
    return v;
  }
}

// The sum of the n values from p, oldest to newest from 0.0.
template <class V>
inline V window_sum(const double* p, std::size_t n) {
  V s = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) s += load<V>(p + k);
  return s;
}

template <class V>
inline V window_mean(const double* p, std::size_t n) {
  return window_sum<V>(p, n) / static_cast<double>(n);
}

// The weight total of a linearly weighted window of n values,
// n * (n + 1) / 2, formed in double.
inline double weight_total(std::size_t n) {
  return static_cast<double>(n) * static_cast<double>(n + 1) / 2.0;
}

// Linearly weighted mean: the terms (k + 1) * x[k], weight 1 for the oldest
// and n for the newest, summed oldest to newest from 0.0, then divided once
// by `total` (weight_total(n)).
template <class V>
inline V wma(const double* p, std::size_t n, double total) {
  V s = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) s += static_cast<double>(k + 1) * load<V>(p + k);
  return s / total;
}

// The largest (smallest) of the n values from p, scanned oldest to newest:
// a later value replaces the running extreme only when strictly beyond it
// or NaN, so a NaN anywhere in the window gives NaN (no value compares
// beyond a NaN), and of equal values (0.0 and -0.0) the oldest is kept.
template <class V>
inline V window_max(const double* p, std::size_t n) {
  static_assert(is_scalar<V>, "a scan of one window");
  double m = p[0];
  for (std::size_t k = 1; k < n; ++k)
    if (p[k] > m || p[k] != p[k]) m = p[k];
  return m;
}

template <class V>
inline V window_min(const double* p, std::size_t n) {
  static_assert(is_scalar<V>, "a scan of one window");
  double m = p[0];
  for (std::size_t k = 1; k < n; ++k)
    if (p[k] < m || p[k] != p[k]) m = p[k];
  return m;
}

// The value a fraction g of the way from the order statistic a to the next
// one b, as NumPy's linear quantile interpolates: a + (b - a) * g below
// g = 0.5, b - (b - a) * (1 - g) from it; at g = 0 the order statistic a
// itself (no arithmetic, so an infinite neighbour cannot make it NaN).
inline double quantile_between(double a, double b, double g) {
  if (g == 0.0) return a;
  const double d = b - a;
  return g < 0.5 ? a + d * g : b - d * (1.0 - g);
}

// The midpoint of two values, (u + l) / 2; when that sum overflows while
// both are finite, u / 2 + l / 2 instead, so finite values never give an
// infinite midpoint. Otherwise the bits of (u + l) / 2.
inline double midpoint(double u, double l) {
  const double m = (u + l) / 2.0;
  if (std::isinf(m) && std::isfinite(u) && std::isfinite(l)) return u / 2.0 + l / 2.0;
  return m;
}

// The percentile rank of a value among n: `below` values under it and
// `equal` equal to it (itself included) give the average of the ranks the
// tied values share, below + (equal + 1) / 2, divided by n. Every step but
// the division is exact.
inline double rank_pct(std::size_t below, std::size_t equal, std::size_t n) {
  return (static_cast<double>(below) + static_cast<double>(equal + 1) / 2.0) / static_cast<double>(n);
}

// The sum of |p[k] - p[k - 1]| for k = 1 .. n - 1, oldest to newest from
// 0.0: the path length of n prices.
template <class V>
inline V abs_change_sum(const double* p, std::size_t n) {
  V s = splat<V>(0.0);
  for (std::size_t k = 1; k < n; ++k) s += abs<V>(load<V>(p + k) - load<V>(p + k - 1));
  return s;
}

// Sample mean and standard deviation of n values; `ok` is false where the
// variance is exactly zero (a NaN variance goes on as a number).
template <class V>
struct MeanSd {
  V mean;
  V sd;
  Mask<V> ok;
};

template <class V>
inline MeanSd<V> mean_sd(const double* p, std::size_t n) {
  const V mean = window_mean<V>(p, n);
  V squares = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V d = load<V>(p + k) - mean;
    squares += d * d;
  }
  const V var = squares / static_cast<double>(n - 1);
  return {mean, sqrt<V>(var), var != 0.0};
}

template <class V>
struct Valued {
  V value;
  Mask<V> ok;
};

// Mean and standard deviation of n values with `divisor` = n - ddof:
//   mean = (sum of x, oldest to newest from 0.0) / n;
//   squares = sum of d * d, d = x - mean, oldest to newest from 0.0;
//   var = squares / divisor; sd = sqrt(var).
template <class V>
struct Spread {
  V mean;
  V var;
  V sd;
};

template <class V>
inline Spread<V> spread(const double* p, std::size_t n, double divisor) {
  const V mean = window_mean<V>(p, n);
  V squares = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V d = load<V>(p + k) - mean;
    squares += d * d;
  }
  const V var = squares / divisor;
  return {mean, var, sqrt<V>(var)};
}

// (newest - mean) / sd over the window, present only where the variance is
// not exactly zero (a NaN variance goes on as a number).
template <class V>
inline Valued<V> zscore(const double* p, std::size_t n, double divisor) {
  const Spread<V> s = spread<V>(p, n, divisor);
  return {(load<V>(p + n - 1) - s.mean) / s.sd, s.var != 0.0};
}

// Bollinger bands: band = k * sd; upper = mean + band; lower = mean - band.
template <class V>
struct Bands {
  V middle;
  V upper;
  V lower;
};

template <class V>
inline Bands<V> bollinger(const double* p, std::size_t n, double divisor, double k) {
  const Spread<V> s = spread<V>(p, n, divisor);
  const V band = k * s.sd;
  return {s.mean, s.mean + band, s.mean - band};
}

// Adjusted Fisher-Pearson skewness; `coef` is n / ((n - 1)(n - 2)).
template <class V>
inline Valued<V> skewness(const double* p, std::size_t n, double coef) {
  const MeanSd<V> m = mean_sd<V>(p, n);
  V m3 = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V z = (load<V>(p + k) - m.mean) / m.sd;
    m3 += (z * z) * z;
  }
  return {coef * m3, m.ok};
}

// Bias-corrected excess kurtosis; `scale` is n(n + 1) / ((n - 1)(n - 2)(n - 3))
// and `correction` 3(n - 1)^2 / ((n - 2)(n - 3)), each formed as one
// division of its two products.
template <class V>
inline Valued<V> kurtosis(const double* p, std::size_t n, double scale, double correction) {
  const MeanSd<V> m = mean_sd<V>(p, n);
  V m4 = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V z = (load<V>(p + k) - m.mean) / m.sd;
    const V q = z * z;
    m4 += q * q;
  }
  // The coefficient first, then the scaled sum, the correction last.
  return {m4 * scale - correction, m.ok};
}

// sqrt(mean / (4 ln 2)); a window of flat bars gives 0, a value.
inline constexpr double kFourLn2 = 2.772588722239781;  // the double nearest to 4 ln 2

template <class V>
inline V parkinson(const double* terms, std::size_t n) {
  return sqrt<V>(window_mean<V>(terms, n) / kFourLn2);
}

// sqrt(mean), present only where the mean is positive (not NaN).
template <class V>
inline Valued<V> rogers_satchell(const double* terms, std::size_t n) {
  const V mean = window_mean<V>(terms, n);
  return {sqrt<V>(mean), mean > 0.0};
}

// Ordinary least squares of y on x over n points, x(i) and y(i) giving
// lane values, i = 0 the oldest:
//   Sx, Sy from 0.0, oldest to newest; mx = Sx / n, my = Sy / n;
//   Sxx += dx*dx, Syy += dy*dy, Sxy += dx*dy;
//   slope = Sxy / Sxx where Sxx != 0 (a NaN Sxx goes on);
//   R² = (Sxy*Sxy) / (Sxx*Syy) where also Syy != 0.
template <class V>
struct Fit {
  V slope;
  V r2;
  Mask<V> has_slope;
  Mask<V> has_r2;
};

template <class V, class X, class Y>
inline Fit<V> regress_lanes(std::size_t n, X&& x, Y&& y) {
  V sx = splat<V>(0.0);
  V sy = splat<V>(0.0);
  for (std::size_t i = 0; i < n; ++i) {
    sx += x(i);
    sy += y(i);
  }
  const double count = static_cast<double>(n);
  const V mx = sx / count;
  const V my = sy / count;
  V sxx = splat<V>(0.0);
  V syy = splat<V>(0.0);
  V sxy = splat<V>(0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const V dx = x(i) - mx;
    const V dy = y(i) - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  const Mask<V> has_slope = sxx != 0.0;
  return {sxy / sxx, (sxy * sxy) / (sxx * syy), has_slope, Mask<V>(has_slope & (syy != 0.0))};
}

}  // namespace SARVEK_LANES_NS
}  // namespace sarvek::lanes
