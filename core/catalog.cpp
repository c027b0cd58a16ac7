#include "core/catalog.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <string>
#include <tuple>
#include <type_traits>

#include "core/features/bollinger_bands.h"
#include "core/features/atr.h"
#include "core/features/cci.h"
#include "core/features/ema.h"
#include "core/features/garman_klass_volatility.h"
#include "core/features/kama.h"
#include "core/features/kurtosis.h"
#include "core/features/linear_slope.h"
#include "core/features/log_return.h"
#include "core/features/macd.h"
#include "core/features/mfi.h"
#include "core/features/obv.h"
#include "core/features/parkinson_volatility.h"
#include "core/features/rogers_satchell_volatility.h"
#include "core/features/rolling_correlation.h"
#include "core/features/rolling_std.h"
#include "core/features/rsi.h"
#include "core/features/simple_return.h"
#include "core/features/skewness.h"
#include "core/features/sma.h"
#include "core/features/stochastic.h"
#include "core/features/rolling_max.h"
#include "core/features/rolling_min.h"
#include "core/features/vwap.h"
#include "core/features/rolling_quantile.h"
#include "core/features/rolling_rank.h"
#include "core/features/donchian_channel.h"
#include "core/features/wma.h"
#include "core/features/yang_zhang_volatility.h"
#include "core/features/z_score.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_direction.h"
#include "core/targets/future_extremes.h"
#include "core/targets/future_return.h"
#include "core/targets/triple_barrier.h"

namespace sarvek {
namespace {

// Registration order: the order of the module's classes.
template <class... F>
std::array<const FeatureDescription*, sizeof...(F)> features_of() {
  return {&F::description()...};
}
template <class... T>
std::array<const TargetDescription*, sizeof...(T)> targets_of() {
  return {&T::description()...};
}

// The module's fixed classes come first and number `count`; a catalogue
// that breaks this is a build mistake, stopped at its first use.
template <class D>
bool module_classes_first(std::span<const D* const> all, std::size_t count) {
  for (std::size_t i = 0; i < all.size(); ++i)
    if ((all[i]->visibility == Visibility::module) != (i < count)) std::abort();
  return true;
}

}  // namespace

std::span<const FeatureDescription* const> feature_catalog() {
  static const auto all = features_of<Sma, Ema, Kama, SimpleReturn, LogReturn, Skewness, Kurtosis, LinearSlope,
                                      ParkinsonVolatility, RogersSatchellVolatility, RollingStd,
                                      ZScore, BollingerBands, Wma, RollingMax, RollingMin, GarmanKlassVolatility,
                                      YangZhangVolatility, Rsi, Macd, Atr, Obv, RollingCorrelation, Vwap, Stochastic,
                                      Cci, Mfi, RollingQuantile, RollingRank, DonchianChannel>();
  static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(all)>> == kFeatureTypeCount);
  static const bool ordered = module_classes_first(std::span<const FeatureDescription* const>(all),
                                                   kModuleFeatureCount);
  (void)ordered;
  return all;
}

std::span<const TargetDescription* const> target_catalog() {
  static const auto all = targets_of<FutureReturn, FutureCTCVolatility, FutureLinearSlope, FutureExtremes,
                                     FutureDirection, TripleBarrier>();
  static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(all)>> == kTargetTypeCount);
  static const bool ordered = module_classes_first(std::span<const TargetDescription* const>(all),
                                                   kModuleTargetCount);
  (void)ordered;
  return all;
}

const FeatureDescription* description_of(const Feature& f) {
  for (const FeatureDescription* d : feature_catalog())
    if (d->is(f)) return d;
  return nullptr;
}

const TargetDescription* description_of(const Target& t) {
  for (const TargetDescription* d : target_catalog())
    if (d->is(t)) return d;
  return nullptr;
}

Result<void> check_real(const char* name, double value, double low, double high, const char* constraint) {
  if (!std::isfinite(value)) return invalid_input(std::string(name) + " must be finite");
  if (!(value >= low && value <= high)) return invalid_input(std::string(name) + " " + constraint);
  return {};
}

std::string real_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  // The shortest text that reads back as x, in Python's layout: positional
  // for exponents -4 .. 15, otherwise d.ddde+XX.
  char buf[64];
  const auto sci = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string s(buf, sci.ptr);
  const auto e = s.find('e');
  const int exponent = std::stoi(s.substr(e + 1));
  if (exponent < -4 || exponent >= 16) {
    std::string mantissa = s.substr(0, e);
    std::string exp = s.substr(e + 1);
    const bool negative = exp[0] == '-';
    exp = exp.substr(exp[0] == '-' || exp[0] == '+' ? 1 : 0);
    while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
    if (exp.size() < 2) exp = "0" + exp;
    return mantissa + "e" + (negative ? "-" : "+") + exp;
  }
  const auto fixed = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  std::string f(buf, fixed.ptr);
  if (f.find('.') == std::string::npos) f += ".0";
  return f;
}

std::size_t memory_window_minus_one(const Arguments& a) { return count_argument(a, 1) - 1; }
std::size_t memory_window(const Arguments& a) { return count_argument(a, 1); }

}  // namespace sarvek
