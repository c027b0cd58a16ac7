// Per-bar cost of Feature::update for every feature type at windows 20 and
// 200, on seeded random OHLC bars. Prints nanoseconds per update.
//
//   build/<dir>/bench_features [bars]

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <vector>

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

using namespace sarvek;

namespace {

using Factory = std::function<std::unique_ptr<Feature>(std::size_t window)>;

template <class F>
Factory simple() {
  return [](std::size_t w) -> std::unique_ptr<Feature> {
    return std::make_unique<F>(*F::create({"high", "low", "open", "close"}, w, {"out", "out2"}));
  };
}

struct Entry {
  const char* name;
  Factory make;
};

std::vector<std::array<Value, 4>> make_bars(std::size_t n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> step(0.0, 0.01), wick(0.0, 0.004);
  std::vector<std::array<Value, 4>> bars(n);
  double close = 100.0;
  for (auto& bar : bars) {
    const double open = close;
    close = open * std::exp(step(rng));
    const double high = std::max(open, close) * std::exp(std::abs(wick(rng)));
    const double low = std::min(open, close) * std::exp(-std::abs(wick(rng)));
    bar = {high, low, open, close};
  }
  return bars;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const auto bars = make_bars(n);
  const Entry entries[] = {
      {"Sma", simple<Sma>()},
      {"Ema", simple<Ema>()},
      {"Kama", [](std::size_t w) -> std::unique_ptr<Feature> {
         return std::make_unique<Kama>(*Kama::create({"close"}, w, {"out"}, 2, 30));
       }},
      {"SimpleReturn", simple<SimpleReturn>()},
      {"LogReturn", simple<LogReturn>()},
      {"Skewness", simple<Skewness>()},
      {"Kurtosis", simple<Kurtosis>()},
      {"LinearSlope", simple<LinearSlope>()},
      {"ParkinsonVolatility", simple<ParkinsonVolatility>()},
      {"RogersSatchellVolatility", simple<RogersSatchellVolatility>()},
  };
  std::printf("%-26s %8s %12s\n", "feature", "window", "ns/update");
  double sink = 0.0;
  for (const Entry& e : entries) {
    for (std::size_t window : {20, 200}) {
      auto feature = e.make(window);
      for (const auto& bar : bars) (void)feature->update(bar);  // warm caches and branch predictors
      feature->reset();
      const auto start = std::chrono::steady_clock::now();
      for (const auto& bar : bars) {
        auto out = feature->update(bar);
        if (out && (*out)[0]) sink += *(*out)[0];
      }
      const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
      std::printf("%-26s %8zu %12.1f\n", e.name, window, took.count() / static_cast<double>(n));
    }
  }
  std::printf("(checksum %g)\n", sink);
  return 0;
}
