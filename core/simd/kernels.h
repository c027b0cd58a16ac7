#pragma once

// Column kernels: the window arithmetic of core/lanes.h run over many bars
// at once, built once per instruction set and chosen at run time. Every
// path gives the same bits; only the speed differs.
//
// Common shape: `p` points at the oldest value of bar 0's window, bar i's
// window is p[i .. i + w); results go to out[i] for i < bars. Where a
// result can be absent, ok[i] is cleared for it (and left as it was
// otherwise), so callers first fill ok with the window-complete flags.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sarvek::simd {

// Symbol lanes: windows held for many symbols at once come in blocks of
// kLaneBlock lanes (several native vectors, so that a window sum runs as
// independent chains of adds), block b's entries oldest first at rows + b * block_stride
// + k * kLaneBlock (lane j at position j of each row). Results go to
// out[b * kLaneBlock + j]; where a result can be absent, ok[.] is cleared
// for it as above.
inline constexpr std::size_t kLaneBlock = 32;

struct Kernels {
  const char* name;
  void (*window_mean)(const double* p, std::size_t bars, std::size_t w, double* out);
  // Over windows of w prices (w - 1 changes each).
  // Linearly weighted means with total = weight_total(w) (lanes::wma).
  void (*wma)(const double* p, std::size_t bars, std::size_t w, double total, double* out);
  void (*abs_change_sum)(const double* p, std::size_t bars, std::size_t w, double* out);
  void (*sample_sd)(const double* p, std::size_t bars, std::size_t w, double* out);
  void (*skewness)(const double* p, std::size_t bars, std::size_t w, double coef, double* out, std::uint8_t* ok);
  void (*kurtosis)(const double* p, std::size_t bars, std::size_t w, double scale, double correction, double* out,
                   std::uint8_t* ok);
  // Skewness and kurtosis of the same windows (lanes::moments).
  void (*moments)(const double* p, std::size_t bars, std::size_t w, double coef, double scale, double correction,
                  double* skew, std::uint8_t* skew_ok, double* kurt, std::uint8_t* kurt_ok);
  void (*parkinson)(const double* terms, std::size_t bars, std::size_t w, double* out);
  void (*rogers_satchell)(const double* terms, std::size_t bars, std::size_t w, double* out, std::uint8_t* ok);
  // Window spreads with divisor = w - ddof (lanes::spread).
  void (*window_sd)(const double* p, std::size_t bars, std::size_t w, double divisor, double* out);
  void (*zscore)(const double* p, std::size_t bars, std::size_t w, double divisor, double* out, std::uint8_t* ok);
  // Three outputs, every one always present.
  void (*bollinger)(const double* p, std::size_t bars, std::size_t w, double divisor, double k, double* middle,
                    double* upper, double* lower);
  void (*regression)(const double* x, const double* y, std::size_t bars, std::size_t w, double* slope, double* r2,
                     std::uint8_t* has_slope, std::uint8_t* has_r2);
  void (*garman_klass)(const double* terms, std::size_t bars, std::size_t w, double* out, std::uint8_t* ok);
  // Three term arrays of the same shape (lanes::yang_zhang).
  void (*yang_zhang)(const double* o, const double* c, const double* rs, std::size_t bars, std::size_t w, double k,
                     double one_minus_k, double* out, std::uint8_t* ok);
  // Two columns x and y (lanes::correlation); p and v (lanes::vwap).
  void (*correlation)(const double* x, const double* y, std::size_t bars, std::size_t w, double* out,
                      std::uint8_t* ok);
  void (*vwap)(const double* p, const double* v, std::size_t bars, std::size_t w, double* out, std::uint8_t* ok);
  // Over windows of w typical prices (lanes::cci).
  void (*cci)(const double* tp, std::size_t bars, std::size_t w, double constant, double* out, std::uint8_t* ok);
  // Over windows of w + 1 typical prices and volumes: w flows (lanes::mfi).
  void (*mfi)(const double* tp, const double* v, std::size_t bars, std::size_t w, double* out);
  // Three columns: high, low, close (lanes::stochastic_k).
  void (*stochastic_k)(const double* high, const double* low, const double* close, std::size_t bars, std::size_t w,
                       double* out, std::uint8_t* ok);
  // A result column of m values: out[j] = v[j] where ok[j], else NaN,
  // written past the caches where the path can (a column written once and
  // not read back soon, larger than the caches: a run's result).
  void (*stream_store)(std::size_t m, const double* v, const std::uint8_t* ok, double* out);
  // Symbol lanes (see kLaneBlock): windows of w entries.
  void (*lanes_mean)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w, double* out);
  void (*lanes_abs_change_sum)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w,
                               double* out);
  void (*lanes_skewness)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w, double coef,
                         double* out, std::uint8_t* ok);
  void (*lanes_kurtosis)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w,
                         double scale, double correction, double* out, std::uint8_t* ok);
  // Skewness and kurtosis of the same windows (lanes::moments).
  void (*lanes_moments)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w, double coef,
                        double scale, double correction, double* skew, std::uint8_t* skew_ok, double* kurt,
                        std::uint8_t* kurt_ok);
  void (*lanes_parkinson)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w,
                          double* out);
  void (*lanes_rogers_satchell)(const double* rows, std::size_t blocks, std::size_t block_stride, std::size_t w,
                                double* out, std::uint8_t* ok);
  // x and y rows of the same shape.
  void (*lanes_regression)(const double* x, const double* y, std::size_t blocks, std::size_t block_stride,
                           std::size_t w, double* slope, double* r2, std::uint8_t* has_slope, std::uint8_t* has_r2);
};

// The kernels of the current path.
const Kernels& kernels();

// Paths this CPU can run, plainest first: "scalar", then "avx2" and
// "avx512" where supported.
std::vector<std::string> available_paths();
// Switches every later column run to `name`; false (nothing changes) for a
// name that is unknown or that this CPU cannot run.
bool set_path(std::string_view name);
std::string current_path();

}  // namespace sarvek::simd
