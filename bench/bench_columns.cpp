// Column runs against the bar-by-bar loop. Prints, per feature type at
// windows 20 and 200, ns per bar of update() and of run_columns() on every
// SIMD path this CPU has; then the ten-feature pipeline of
// bench/pipeline_bench.py (plus an Sma over sma_20) over 1M bars through
// run_columns (row-major doubles in, column-major out) and run_research.
// Between the two it prints what one call of the C library's log costs:
// every bar of that pipeline makes six.
//
//   build/<dir>/bench_columns [bars per feature] [pipeline bars]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
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
#include "core/pipeline/feature_pipeline.h"
#include "core/simd/kernels.h"

using namespace sarvek;

namespace {

using Clock = std::chrono::steady_clock;
using Factory = std::function<std::unique_ptr<Feature>(std::size_t window)>;

template <class F>
Factory simple(Names inputs, Names outputs = {"out"}) {
  return [inputs, outputs](std::size_t w) -> std::unique_ptr<Feature> {
    return std::make_unique<F>(*F::create(inputs, w, outputs));
  };
}

// Seeded OHLC as four columns: high, low, open, close.
std::vector<std::vector<double>> make_columns(std::size_t n) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> step(0.0, 0.01), wick(0.0, 0.004);
  std::vector<std::vector<double>> c(4, std::vector<double>(n));
  double close = 100.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double open = close;
    close = open * std::exp(step(rng));
    c[0][i] = std::max(open, close) * std::exp(std::abs(wick(rng)));
    c[1][i] = std::min(open, close) * std::exp(-std::abs(wick(rng)));
    c[2][i] = open;
    c[3][i] = close;
  }
  return c;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double sink = 0.0;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const std::size_t pipeline_bars = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000000;
  const auto cols = make_columns(std::max(n, pipeline_bars));
  const std::vector<std::uint8_t> all_valid(cols[0].size(), 1);
  const Names hloc = {"high", "low", "open", "close"};
  struct Entry {
    const char* name;
    Factory make;
    std::size_t outputs;
  };
  const Entry entries[] = {
      {"Sma", simple<Sma>({"close"}), 1},
      {"Ema", simple<Ema>({"close"}), 1},
      {"Kama",
       [](std::size_t w) -> std::unique_ptr<Feature> {
         return std::make_unique<Kama>(*Kama::create({"close"}, w, {"out"}, 2, 30));
       },
       1},
      {"SimpleReturn", simple<SimpleReturn>({"close"}), 1},
      {"LogReturn", simple<LogReturn>({"close"}), 1},
      {"Skewness", simple<Skewness>({"close"}), 1},
      {"Kurtosis", simple<Kurtosis>({"close"}), 1},
      {"LinearSlope", simple<LinearSlope>({"open", "close"}, {"slope", "r2"}), 2},
      {"ParkinsonVolatility", simple<ParkinsonVolatility>({"high", "low"}), 1},
      {"RogersSatchellVolatility", simple<RogersSatchellVolatility>(hloc), 1},
  };
  const std::vector<std::string> paths = simd::available_paths();
  const std::string best = simd::current_path();

  std::printf("%-26s %6s %10s", "feature (ns/bar)", "window", "update");
  for (const auto& p : paths) std::printf(" %10s", p.c_str());
  std::printf("\n");
  std::vector<double> out_values(n * 2);
  std::vector<std::uint8_t> out_valid(n * 2);
  for (const Entry& e : entries) {
    for (std::size_t w : {20, 200}) {
      auto f = e.make(w);
      // Inputs in the feature's own order, picked from the OHLC columns.
      std::vector<ColumnIn> in;
      for (const std::string& name : f->input_names()) {
        const std::size_t j = static_cast<std::size_t>(std::find(hloc.begin(), hloc.end(), name) - hloc.begin());
        in.push_back({cols[j].data(), all_valid.data()});
      }
      std::vector<Value> bar(in.size());
      auto t = Clock::now();
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < in.size(); ++j) bar[j] = in[j].values[i];
        const auto r = f->update(bar);
        sink += (*r)[0].value_or(0.0);
      }
      std::printf("%-26s %6zu %10.2f", e.name, w, seconds_since(t) * 1e9 / static_cast<double>(n));
      std::vector<ColumnOut> out;
      for (std::size_t k = 0; k < e.outputs; ++k) out.push_back({out_values.data() + k * n, out_valid.data() + k * n});
      for (const auto& p : paths) {
        simd::set_path(p);
        double bestt = 1e30;
        for (int rep = 0; rep < 3; ++rep) {
          f->reset();
          f->reserve_columns(n);
          t = Clock::now();
          (void)f->run_columns(n, in, out);
          bestt = std::min(bestt, seconds_since(t));
          sink += out_values[n / 2];
        }
        std::printf(" %10.2f", bestt * 1e9 / static_cast<double>(n));
      }
      simd::set_path(best);
      std::printf("\n");
    }
  }

  // What one call of the C library's log costs on the ratios the features
  // take it of (close over close, high over low: all near 1). Six such calls
  // a bar are the part of the example pipelines that no kernel can speed up.
  {
    const std::vector<double>& close = cols[3];
    double bestt = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
      auto t = Clock::now();
      double acc = 0.0;
      for (std::size_t i = 1; i < close.size(); ++i) acc += std::log(close[i] / close[i - 1]);
      bestt = std::min(bestt, seconds_since(t));
      sink += acc;
    }
    std::printf("\nC library log of a price ratio: %.2f ns a call\n", bestt * 1e9 / static_cast<double>(cols[3].size() - 1));
  }

  // The pipeline of bench/pipeline_bench.py.
  std::vector<std::unique_ptr<Feature>> fs;
  fs.push_back(std::make_unique<Sma>(*Sma::create({"sma_20"}, 19, {"sma_of_sma"})));
  fs.push_back(std::make_unique<RogersSatchellVolatility>(
      *RogersSatchellVolatility::create({"high", "low", "open", "close"}, 20, {"rs_20"})));
  fs.push_back(std::make_unique<ParkinsonVolatility>(*ParkinsonVolatility::create({"high", "low"}, 20, {"park_20"})));
  fs.push_back(std::make_unique<LinearSlope>(*LinearSlope::create({"open", "close"}, 20, {"slope_20", "r2_20"})));
  fs.push_back(std::make_unique<Kurtosis>(*Kurtosis::create({"logret_1"}, 20, {"kurt_20"})));
  fs.push_back(std::make_unique<Skewness>(*Skewness::create({"logret_1"}, 20, {"skew_20"})));
  fs.push_back(std::make_unique<LogReturn>(*LogReturn::create({"close"}, 1, {"logret_1"})));
  fs.push_back(std::make_unique<SimpleReturn>(*SimpleReturn::create({"close"}, 1, {"ret_1"})));
  fs.push_back(std::make_unique<Kama>(*Kama::create({"close"}, 20, {"kama_20"}, 2, 30)));
  fs.push_back(std::make_unique<Ema>(*Ema::create({"close"}, 20, {"ema_20"})));
  fs.push_back(std::make_unique<Sma>(*Sma::create({"close"}, 20, {"sma_20"})));
  FeaturePipeline p = std::move(*FeaturePipeline::create(std::move(fs), {"open", "high", "low", "close"}));
  const std::size_t m = pipeline_bars;
  const std::size_t width = p.output_names().size();
  // Row-major open, high, low, close, as a 2-D array arrives.
  std::vector<double> table(m * 4);
  for (std::size_t i = 0; i < m; ++i) {
    table[i * 4 + 0] = cols[2][i];
    table[i * 4 + 1] = cols[0][i];
    table[i * 4 + 2] = cols[1][i];
    table[i * 4 + 3] = cols[3][i];
  }
  std::vector<double> result(m * width);
  std::vector<StridedColumn> ins;
  for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + j, 4});
  std::vector<StridedOutput> outs;
  for (std::size_t k = 0; k < width; ++k) outs.push_back({result.data() + k * m, 1});
  std::printf("\npipeline: %zu features, %zu outputs, %zu bars\n", p.len(), width, m);
  for (const auto& path : paths) {
    simd::set_path(path);
    double bestt = 1e30;
    for (int rep = 0; rep < 3; ++rep) {
      auto t = Clock::now();
      (void)p.run_columns(m, ins, outs, true);
      bestt = std::min(bestt, seconds_since(t));
    }
    std::printf("  run_columns (%s) %8.1f ns/bar\n", path.c_str(), bestt * 1e9 / static_cast<double>(m));
  }
  simd::set_path(best);
  std::vector<Value> flat(m * 4);
  std::vector<std::size_t> offsets(m + 1);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < 4; ++j) flat[i * 4 + j] = table[i * 4 + j];
    offsets[i + 1] = (i + 1) * 4;
  }
  auto t = Clock::now();
  auto r = p.run_research({flat, offsets});
  std::printf("  run_research (%s) %7.1f ns/bar\n", best.c_str(), seconds_since(t) * 1e9 / static_cast<double>(m));
  t = Clock::now();
  for (std::size_t i = 0; i < m; ++i) sink += p.update(std::span<const Value>(flat.data() + i * 4, 4)).value()[0].value_or(0.0);
  std::printf("  update loop        %8.1f ns/bar\n", seconds_since(t) * 1e9 / static_cast<double>(m));
  if (sink == 42.0) std::printf("%f %zu\n", sink, r->bars);
  return 0;
}
