// Column runs spread over threads: every thread count gives the bits, the
// presence and the state one thread gives, for random chains of catalogue
// features over awkward data, at piece sizes around the history the pieces
// recompute; interrupts are asked on the calling thread only.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/catalog.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/state_io.h"

namespace sarvek {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const Names kInputs = {"h", "l", "o", "c"};

// One feature of catalogue type `d` reading names drawn from `available`,
// its outputs named f<index>_<k>; null when the type refuses the arguments.
std::unique_ptr<Feature> random_feature(const FeatureDescription& d, std::size_t index, const Names& available,
                                        std::mt19937_64& gen, std::size_t max_window) {
  Arguments a;
  for (const ParamDescription& p : d.params) {
    if (p.kind == ParamKind::names && std::string(p.name) == "inputs") {
      Names in;
      for (std::size_t k = 0; k < std::max<std::size_t>(d.reads, p.minimum); ++k)
        in.push_back(available[gen() % available.size()]);
      a.emplace_back(std::move(in));
    } else if (p.kind == ParamKind::names) {
      Names outs;
      for (std::size_t k = 0; k < std::max<std::size_t>(d.produces, p.minimum) + gen() % 2; ++k)
      {
        std::string name = "f";
        name.append(std::to_string(index)).append("_").append(std::to_string(k));
        outs.push_back(std::move(name));
      }
      a.emplace_back(std::move(outs));
    } else if (p.kind == ParamKind::name) {
      a.emplace_back(available[gen() % available.size()]);
    } else if (p.kind == ParamKind::real) {
      a.emplace_back(*p.default_real);
    } else if (std::string(p.name) == "window") {
      a.emplace_back(std::max<std::size_t>(p.minimum, 1 + gen() % max_window));
    } else {
      a.emplace_back(p.default_count.value_or(std::max<std::size_t>(p.minimum, 1)));
    }
  }
  auto made = d.make(std::move(a));
  return made ? std::move(*made) : nullptr;
}

// A random pipeline of 1 to 6 features, each reading input columns or
// earlier features' outputs (chains add up their memories); `bounded`
// keeps to types with a bounded memory, so the run can be split.
FeaturePipeline random_pipeline(std::mt19937_64& gen, bool bounded, std::size_t max_window) {
  for (;;) {
    Names available = kInputs;
    std::vector<std::unique_ptr<Feature>> fs;
    const std::size_t count = 1 + gen() % 6;
    while (fs.size() < count) {
      const FeatureDescription& d = *feature_catalog()[gen() % feature_catalog().size()];
      if (bounded && !d.memory) continue;
      auto f = random_feature(d, fs.size(), available, gen, max_window);
      if (!f) continue;
      for (const std::string& o : f->output_names()) available.push_back(o);
      fs.push_back(std::move(f));
    }
    std::shuffle(fs.begin(), fs.end(), gen);
    auto p = FeaturePipeline::create(std::move(fs), kInputs);
    if (p) return std::move(*p);
  }
}

// A random walk of high, low, open, close with missing values, gaps of
// missing bars, present NaN and infinities.
std::vector<double> awkward_table(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> t;
  double level = 100.0;
  std::size_t gap = 0;
  for (std::size_t i = 0; i < n; ++i) {
    level = std::max(1.0, level + (u(gen) - 0.5) * 2.0);
    double bar[4] = {level + u(gen), level - u(gen), level, level + u(gen) / 3.0};
    if (gap == 0 && gen() % 97 == 0) gap = gen() % 12;
    for (double& v : bar) {
      if (gap) v = kNan;
      switch (gen() % 60) {
        case 0: v = kNan; break;
        case 1: v = std::numeric_limits<double>::infinity(); break;
        case 2: v = 0.0; break;
        default: break;
      }
    }
    if (gap) --gap;
    t.insert(t.end(), bar, bar + 4);
  }
  return t;
}

struct Outcome {
  std::vector<double> values;  // column after column
  std::vector<std::uint8_t> present;
  RunStatus status;
};

// Bars [begin, end) of a row-major table through run_columns.
Outcome run(FeaturePipeline& p, const std::vector<double>& table, std::size_t begin, std::size_t end, bool reset_first,
        RunThreads threads, const std::function<bool()>& interrupted = {}) {
  const std::size_t n = end - begin;
  const std::size_t width = p.output_names().size();
  Outcome r{std::vector<double>(n * width, -1.0), std::vector<std::uint8_t>(n * width, 7), RunStatus::done};
  std::vector<StridedColumn> ins;
  for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + begin * 4 + j, 4});
  std::vector<StridedOutput> outs;
  for (std::size_t k = 0; k < width; ++k)
    outs.push_back({r.values.data() + k * n, 1, r.present.data() + k * n, 1});
  auto s = p.run_columns(n, ins, outs, reset_first, interrupted, threads);
  EXPECT_TRUE(s.has_value());
  r.status = s ? *s : RunStatus::interrupted;
  return r;
}

std::string state_of(FeaturePipeline& p) {
  std::string bytes;
  StateIO io = StateIO::writer(bytes);
  p.state(io);
  return bytes;
}

void expect_same(const Outcome& got, const Outcome& want, const char* what) {
  ASSERT_EQ(got.values.size(), want.values.size()) << what;
  for (std::size_t i = 0; i < got.values.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got.values[i]), std::bit_cast<std::uint64_t>(want.values[i]))
        << what << " entry " << i << ": got " << got.values[i] << ", want " << want.values[i];
    ASSERT_EQ(got.present[i], want.present[i]) << what << " entry " << i;
  }
}

// Threads 2 to 4, pieces as small as one bar: lengths from a few bars to
// several times the history, around threads * history; each run from a
// state left by an earlier run (continuing), from scratch, and continued
// again afterwards.
TEST(Threads, RandomChainsGiveOneThreadsBitsAndState) {
  std::mt19937_64 gen(2024);
  std::size_t split = 0;
  for (int c = 0; c < 60; ++c) {
    FeaturePipeline proto = random_pipeline(gen, c % 3 != 2, c % 4 == 0 ? 40 : 8);
    const std::size_t h = proto.history().value_or(0);
    const std::size_t threads = 2 + c % 3;
    const std::size_t edge = threads * std::max<std::size_t>(h, 1);
    const std::size_t lengths[] = {1, 2, threads, h, h + 1, edge - 1, edge, edge + 1, 3 * edge + 7 + gen() % 50};
    const std::size_t lead = gen() % (h + 3);
    for (const std::size_t n : lengths) {
      if (n == 0) continue;
      SCOPED_TRACE(::testing::Message() << "case " << c << " history " << h << " threads " << threads << " bars "
                                        << n << " lead " << lead);
      const std::vector<double> table = awkward_table(lead + 2 * n, gen());
      for (const bool reset_first : {true, false}) {
        FeaturePipeline one = proto.fresh();
        FeaturePipeline many = proto.fresh();
        run(one, table, 0, lead, true, {});
        run(many, table, 0, lead, true, {});
        const Outcome want = run(one, table, lead, lead + n, reset_first, {});
        const Outcome got = run(many, table, lead, lead + n, reset_first, {threads, 1});
        expect_same(got, want, "run");
        ASSERT_EQ(state_of(many), state_of(one));
        split += many.pieces(n, {threads, 1}) > 1;
        // Continuing after a split run.
        expect_same(run(many, table, lead + n, lead + 2 * n, false, {threads, 1}),
                    run(one, table, lead + n, lead + 2 * n, false, {}), "continued");
      }
    }
  }
  EXPECT_GT(split, 150u);  // most runs of bounded pipelines were split
}

// The callback is asked on the calling thread only; once it says stop, the
// run ends interrupted with every feature reset, whichever thread was
// still computing.
TEST(Threads, InterruptsAreAskedOnTheCallingThreadAndResetEverything) {
  std::vector<std::unique_ptr<Feature>> fs;
  const FeatureDescription* sma = nullptr;
  for (const FeatureDescription* d : feature_catalog())
    if (std::string(d->name) == "Sma") sma = d;
  ASSERT_NE(sma, nullptr);
  fs.push_back(*sma->make({Names{"c"}, std::size_t{20}, Names{"s"}}));
  FeaturePipeline p = std::move(*FeaturePipeline::create(std::move(fs), kInputs));
  const std::size_t n = 200000;
  const std::vector<double> table = awkward_table(n, 5);
  const std::string just_built = state_of(p);
  for (const int stop_at : {1, 2, 3, 1000000}) {
    const std::thread::id caller = std::this_thread::get_id();
    int asked = 0;
    bool elsewhere = false;
    const Outcome r = run(p, table, 0, n, true, {3, 1000}, [&] {
      elsewhere |= std::this_thread::get_id() != caller;
      return ++asked >= stop_at;
    });
    EXPECT_FALSE(elsewhere);
    if (stop_at == 1000000) {
      EXPECT_EQ(r.status, RunStatus::done);
      EXPECT_NE(state_of(p), just_built);
    } else {
      EXPECT_EQ(r.status, RunStatus::interrupted);
      EXPECT_EQ(state_of(p), just_built) << stop_at;
    }
  }
}

}  // namespace
}  // namespace sarvek
