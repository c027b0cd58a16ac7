// The target pipeline over whole columns: ns per bar of run_columns
// (row-major doubles in and out, NaN for missing) and of run_research
// (columns of values) for the three targets at horizons 5 and 60, on the
// current SIMD path.
//
//   build/<dir>/bench_targets [bars]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "core/pipeline/target_pipeline.h"
#include "core/targets/future_ctc_volatility.h"
#include "core/targets/future_linear_slope.h"
#include "core/targets/future_return.h"

using namespace sarvek;

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  std::mt19937_64 rng(42);
  std::normal_distribution<double> step(0.0, 0.01);
  std::vector<double> table(2 * n);
  Column close(n), open(n);
  double price = 100.0;
  for (std::size_t i = 0; i < n; ++i) {
    table[2 * i] = price;
    open[i] = price;
    price *= std::exp(step(rng));
    table[2 * i + 1] = price;
    close[i] = price;
  }
  double sink = 0.0;
  std::printf("%-20s %8s %14s %14s\n", "target (ns/bar)", "horizon", "run_columns", "run_research");
  for (int which = 0; which < 3; ++which) {
    for (std::size_t h : {5, 60}) {
      TargetPipeline::Targets ts;
      const char* name = "";
      if (which == 0) {
        name = "FutureReturn";
        ts.push_back(std::make_unique<FutureReturn>(*FutureReturn::create({"close"}, h, {"r"})));
      } else if (which == 1) {
        name = "FutureCTCVolatility";
        ts.push_back(std::make_unique<FutureCTCVolatility>(*FutureCTCVolatility::create("close", h)));
      } else {
        name = "FutureLinearSlope";
        ts.push_back(std::make_unique<FutureLinearSlope>(*FutureLinearSlope::create({"open", "close"}, h, {"s", "r2"})));
      }
      auto p = TargetPipeline::create(std::move(ts), {"open", "close"});
      const std::size_t width = p->output_names().size();
      std::vector<double> out(n * width);
      const StridedColumn ins[] = {{table.data(), 2}, {table.data() + 1, 2}};
      std::vector<StridedOutput> outs;
      for (std::size_t k = 0; k < width; ++k) outs.push_back({out.data() + k, static_cast<std::ptrdiff_t>(width)});
      double best_cols = 1e30, best_research = 1e30;
      const std::vector<std::span<const Value>> data{open, close};
      for (int rep = 0; rep < 3; ++rep) {
        auto t = Clock::now();
        (void)p->run_columns(n, ins, outs);
        best_cols = std::min(best_cols, std::chrono::duration<double>(Clock::now() - t).count());
        sink += out[n / 2];
        t = Clock::now();
        auto r = p->run_research(data);
        best_research = std::min(best_research, std::chrono::duration<double>(Clock::now() - t).count());
        sink += (*r)[0][n / 3].value_or(0.0);
      }
      std::printf("%-20s %8zu %14.2f %14.2f\n", name, h, best_cols * 1e9 / double(n), best_research * 1e9 / double(n));
    }
  }
  if (sink == 42.0) std::printf("%f\n", sink);
  return 0;
}
