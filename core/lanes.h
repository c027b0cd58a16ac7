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

// Lane values laid out in rows: entry k of every lane is the row at
// p + k * stride, lane j at its position j. A window formula reads
// `p + k` and `load`, so the same formula serves windows along a column
// (plain pointers: lane j is bar j) and windows held for many symbols at
// once (rows: lane j is symbol j).
struct Rows {
  const double* p;
  std::size_t stride;
  Rows operator+(std::size_t k) const { return {p + k * stride, stride}; }
};

template <class V>
inline V load(Rows r) {
  return load<V>(r.p);
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
template <class V, class P>
inline V window_sum(P p, std::size_t n) {
  V s = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) s += load<V>(p + k);
  return s;
}

template <class V, class P>
inline V window_mean(P p, std::size_t n) {
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
template <class V, class P>
inline V abs_change_sum(P p, std::size_t n) {
  V s = splat<V>(0.0);
  for (std::size_t k = 1; k < n; ++k) s += abs<V>(load<V>(p + k) - load<V>(p + (k - 1)));
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

template <class V, class P>
inline MeanSd<V> mean_sd(P p, std::size_t n) {
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
template <class V, class P>
inline Valued<V> skewness(P p, std::size_t n, double coef) {
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
template <class V, class P>
inline Valued<V> kurtosis(P p, std::size_t n, double scale, double correction) {
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

// Skewness and kurtosis of one window at once: the mean, deviation and
// each z of skewness() and kurtosis() are the same numbers, formed once;
// each sum keeps its own order, so both are bit for bit as alone.
template <class V>
struct Moments {
  V skew;
  V kurt;
  Mask<V> ok;
};

template <class V, class P>
inline Moments<V> moments(P p, std::size_t n, double coef, double scale, double correction) {
  const MeanSd<V> m = mean_sd<V>(p, n);
  V m3 = splat<V>(0.0);
  V m4 = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V z = (load<V>(p + k) - m.mean) / m.sd;
    const V q = z * z;
    m3 += q * z;
    m4 += q * q;
  }
  return {coef * m3, m4 * scale - correction, m.ok};
}

// sqrt(mean / (4 ln 2)); a window of flat bars gives 0, a value.
inline constexpr double kFourLn2 = 2.772588722239781;  // the double nearest to 4 ln 2

template <class V, class P>
inline V parkinson(P terms, std::size_t n) {
  return sqrt<V>(window_mean<V>(terms, n) / kFourLn2);
}

// sqrt(mean), present only where the mean is positive (not NaN).
template <class V, class P>
inline Valued<V> rogers_satchell(P terms, std::size_t n) {
  const V mean = window_mean<V>(terms, n);
  return {sqrt<V>(mean), mean > 0.0};
}

// Clears flags[j] where the lane's mask is true; leaves the others alone.
template <class V>
inline void clear_flags(std::uint8_t* flags, Mask<V> m) {
  if constexpr (is_scalar<V>) {
    if (m) flags[0] = 0;
  } else {
    for (std::size_t j = 0; j < width<V>; ++j)
      if (m[j] != 0) flags[j] = 0;
  }
}

// A square root and the lanes where its argument was negative (a NaN is
// not negative: it goes on as NaN).
template <class V>
struct Root {
  V value;
  Mask<V> negative;
};

// Garman-Klass: sqrt(mean of the terms), none where the mean is negative
// (a window of flat bars gives 0, a value).
template <class V>
inline Root<V> garman_klass(const double* terms, std::size_t n) {
  const V mean = window_mean<V>(terms, n);
  return {sqrt<V>(mean), splat<V>(0.0) > mean};
}

// The Yang-Zhang weight of the open-to-close variance over n >= 2 bars,
// k = 0.34 / (1.34 + (n + 1) / (n - 1)), formed in double in that order.
inline double yang_zhang_k(std::size_t n) {
  return 0.34 / (1.34 + static_cast<double>(n + 1) / static_cast<double>(n - 1));
}

// Yang-Zhang over n bars of overnight terms `o`, open-to-close terms `c`
// and Rogers-Satchell terms `rs` (with k = yang_zhang_k(n) and
// one_minus_k = 1.0 - k):
//   so, sc, sr: sums from 0.0, oldest to newest (one pass, three chains);
//   mo = so / n, mc = sc / n, mr = sr / n;
//   qo += (o - mo) * (o - mo), qc likewise, from 0.0, oldest to newest;
//   vo = qo / (n - 1), vc = qc / (n - 1);
//   var = (vo + k * vc) + one_minus_k * mr; the result sqrt(var), none
//   where var is negative.
template <class V>
inline Root<V> yang_zhang(const double* o, const double* c, const double* rs, std::size_t n, double k,
                          double one_minus_k) {
  V so = splat<V>(0.0);
  V sc = splat<V>(0.0);
  V sr = splat<V>(0.0);
  for (std::size_t j = 0; j < n; ++j) {
    so += load<V>(o + j);
    sc += load<V>(c + j);
    sr += load<V>(rs + j);
  }
  const double count = static_cast<double>(n);
  const V mo = so / count;
  const V mc = sc / count;
  const V mr = sr / count;
  V qo = splat<V>(0.0);
  V qc = splat<V>(0.0);
  for (std::size_t j = 0; j < n; ++j) {
    const V d = load<V>(o + j) - mo;
    const V e = load<V>(c + j) - mc;
    qo += d * d;
    qc += e * e;
  }
  const double dof = static_cast<double>(n - 1);
  const V var = (qo / dof + k * (qc / dof)) + one_minus_k * mr;
  return {sqrt<V>(var), splat<V>(0.0) > var};
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

// Lane by lane: a where m is true, b where it is false.
template <class V>
inline V select(Mask<V> m, V a, V b) {
  if constexpr (is_scalar<V>) {
    return m ? a : b;
  } else if constexpr (is_pack<V>) {
    V r;
    for (std::size_t u = 0; u < PackTraits<V>::parts; ++u) r.part[u] = select(m.part[u], a.part[u], b.part[u]);
    return r;
  } else {
    return m ? a : b;
  }
}

// v, with every NaN replaced by the one quiet NaN __builtin_nan(""). Where
// a product of two columns meets a NaN in each, which of the two comes out
// depends on the operand order the compiler picked; a result read from two
// columns goes through this so every path gives the same bits.
template <class V>
inline V one_nan(V v) {
  return select<V>(v == v, v, splat<V>(__builtin_nan("")));
}

// Pearson correlation of x and y over n points, the oldest at x[0], y[0]:
//   mx = Sx / n, my = Sy / n (sums from 0.0, oldest to newest);
//   Sxx += dx*dx, Syy += dy*dy, Sxy += dx*dy, dx = x - mx, dy = y - my;
//   corr = Sxy / sqrt(Sxx * Syy), present where Sxx, Syy and the
//   denominator are all non-zero (a NaN goes on as a number, one_nan's).
template <class V>
inline Valued<V> correlation(const double* x, const double* y, std::size_t n) {
  V sx = splat<V>(0.0);
  V sy = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    sx += load<V>(x + k);
    sy += load<V>(y + k);
  }
  const double count = static_cast<double>(n);
  const V mx = sx / count;
  const V my = sy / count;
  V sxx = splat<V>(0.0);
  V syy = splat<V>(0.0);
  V sxy = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V dx = load<V>(x + k) - mx;
    const V dy = load<V>(y + k) - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  const V den = sqrt<V>(sxx * syy);
  return {one_nan<V>(sxy / den), Mask<V>((sxx != 0.0) & (syy != 0.0) & (den != 0.0))};
}

// Volume-weighted mean price: sum(p * v) / sum(v), both sums from 0.0
// oldest to newest, present where sum(v) is non-zero; a NaN as one_nan's.
template <class V>
inline Valued<V> vwap(const double* p, const double* v, std::size_t n) {
  V pv = splat<V>(0.0);
  V vol = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const V volume = load<V>(v + k);
    pv += load<V>(p + k) * volume;
    vol += volume;
  }
  return {one_nan<V>(pv / vol), vol != 0.0};
}

// Commodity channel index over n typical prices: m = sum(tp) / n;
// mad = sum(|tp - m|) / n; (tp_newest - m) / (constant * mad), present
// where mad is non-zero.
template <class V>
inline Valued<V> cci(const double* tp, std::size_t n, double constant) {
  const V m = window_mean<V>(tp, n);
  V dev = splat<V>(0.0);
  for (std::size_t k = 0; k < n; ++k) dev += abs<V>(load<V>(tp + k) - m);
  const V mad = dev / static_cast<double>(n);
  return {(load<V>(tp + n - 1) - m) / (constant * mad), mad != 0.0};
}

// Money flow index over the n flows of n + 1 bars of typical price tp and
// volume v. Flow k (k = 1 .. n) is f = tp[k] * v[k]: positive when
// tp[k] > tp[k - 1], negative when tp[k] < tp[k - 1], neither when equal;
// where either tp is NaN both sides get NaN. pos and neg are summed from
// 0.0 oldest to newest; mfi = 100 - 100 / (1 + pos / neg), 50 where both
// sums are 0 (so neg = 0 < pos gives 100); a NaN comes out as one_nan's.
template <class V>
inline V mfi(const double* tp, const double* v, std::size_t n) {
  const V zero = splat<V>(0.0);
  const V nan = splat<V>(__builtin_nan(""));
  V pos = zero;
  V neg = zero;
  for (std::size_t k = 1; k <= n; ++k) {
    const V t = load<V>(tp + k);
    const V prev = load<V>(tp + k - 1);
    const V f = t * load<V>(v + k);
    const Mask<V> ordered = Mask<V>((t == t) & (prev == prev));
    pos += select<V>(ordered, select<V>(t > prev, f, zero), nan);
    neg += select<V>(ordered, select<V>(prev > t, f, zero), nan);
  }
  const V r = 100.0 - 100.0 / (1.0 + pos / neg);
  return select<V>(Mask<V>((pos == 0.0) & (neg == 0.0)), splat<V>(50.0), one_nan<V>(r));
}

// The scans of window_max (kMax) and window_min, lane by lane: a value
// replaces the running extreme where it is beyond it, then where it is NaN,
// so each lane picks exactly the value the one-window scan picks.
template <class V, bool kMax>
inline V scan_extreme(const double* p, std::size_t n) {
  if constexpr (is_scalar<V>) {
    return kMax ? window_max<double>(p, n) : window_min<double>(p, n);
  } else {
    V m = load<V>(p);
    for (std::size_t k = 1; k < n; ++k) {
      const V x = load<V>(p + k);
      if constexpr (kMax) m = select<V>(x > m, x, m);
      else m = select<V>(m > x, x, m);
      m = select<V>(x != x, x, m);
    }
    return m;
  }
}

template <class V>
inline V scan_max(const double* p, std::size_t n) {
  return scan_extreme<V, true>(p, n);
}

template <class V>
inline V scan_min(const double* p, std::size_t n) {
  return scan_extreme<V, false>(p, n);
}

// Fast stochastic %K of a window: hh and ll the window's highest high and
// lowest low (the scans of window_max and window_min), range = hh - ll;
// k = 100 * ((close_newest - ll) / range), present where range is
// non-zero (a NaN range goes on as a number).
template <class V>
inline Valued<V> stochastic_k(const double* high, const double* low, const double* close, std::size_t n) {
  const V ll = scan_min<V>(low, n);
  const V range = scan_max<V>(high, n) - ll;
  return {100.0 * ((load<V>(close + n - 1) - ll) / range), range != 0.0};
}

}  // namespace SARVEK_LANES_NS
}  // namespace sarvek::lanes
