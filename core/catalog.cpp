#include "core/catalog.h"

#include <array>
#include <tuple>
#include <type_traits>

#include "core/features/ema.h"
#include "core/features/kama.h"
#include "core/features/kurtosis.h"
#include "core/features/linear_slope.h"
#include "core/features/log_return.h"
#include "core/features/parkinson_volatility.h"
#include "core/features/rogers_satchell_volatility.h"
#include "core/features/simple_return.h"
#include "core/features/skewness.h"
#include "core/features/sma.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_return.h"

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

}  // namespace

std::span<const FeatureDescription* const> feature_catalog() {
  static const auto all = features_of<Sma, Ema, Kama, SimpleReturn, LogReturn, Skewness, Kurtosis, LinearSlope,
                                      ParkinsonVolatility, RogersSatchellVolatility>();
  static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(all)>> == kFeatureTypeCount);
  return all;
}

std::span<const TargetDescription* const> target_catalog() {
  static const auto all = targets_of<FutureReturn, FutureCTCVolatility, FutureLinearSlope>();
  static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(all)>> == kTargetTypeCount);
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

std::size_t memory_window_minus_one(const Arguments& a) { return count_argument(a, 1) - 1; }
std::size_t memory_window(const Arguments& a) { return count_argument(a, 1); }

}  // namespace sarvek
