// The column engine against the bar-by-bar reference: every feature type's
// column run and every pipeline's run_columns / run_research must give the
// bits and presence that update() bar by bar gives, leave the same state
// behind, and do so on every SIMD path this CPU has.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/features/ema.h"
#include "core/features/window_run.h"
#include "core/features/kama.h"
#include "core/features/kurtosis.h"
#include "core/features/linear_slope.h"
#include "core/features/log_return.h"
#include "core/features/parkinson_volatility.h"
#include "core/features/rogers_satchell_volatility.h"
#include "core/features/simple_return.h"
#include "core/features/skewness.h"
#include "core/features/sma.h"
#include "core/lanes.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/simd/kernels.h"
#include "core/tools/columns.h"
#include "testing.h"

namespace sarvek {
namespace {

using testing::Bar;
using testing::M;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// ---- feature kinds -------------------------------------------------------

struct Kind {
  const char* name;
  std::size_t min_window;
  std::function<std::unique_ptr<Feature>(Names inputs, std::size_t window, Names outputs)> make;
  std::size_t inputs;
  std::size_t produced;
};

template <class F>
Kind kind(const char* name, std::size_t min_window, std::size_t inputs, std::size_t produced = 1) {
  return {name, min_window,
          [](Names in, std::size_t w, Names out) -> std::unique_ptr<Feature> {
            auto made = F::create(std::move(in), w, std::move(out));
            EXPECT_TRUE(made.has_value());
            return std::make_unique<F>(std::move(*made));
          },
          inputs, produced};
}

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> all = {
      kind<Sma>("Sma", 1, 1),
      kind<Ema>("Ema", 1, 1),
      {"Kama", 1,
       [](Names in, std::size_t w, Names out) -> std::unique_ptr<Feature> {
         return std::make_unique<Kama>(*Kama::create(std::move(in), w, std::move(out), 2 + w % 3, 30));
       },
       1, 1},
      kind<SimpleReturn>("SimpleReturn", 1, 1),
      kind<LogReturn>("LogReturn", 1, 1),
      kind<Skewness>("Skewness", 3, 1),
      kind<Kurtosis>("Kurtosis", 4, 1),
      kind<LinearSlope>("LinearSlope", 2, 2, 2),
      kind<ParkinsonVolatility>("ParkinsonVolatility", 1, 2),
      kind<RogersSatchellVolatility>("RogersSatchellVolatility", 1, 4),
  };
  return all;
}

// ---- data ----------------------------------------------------------------

// Seeded high, low, open, close bars: a random walk with the range around
// it, and, about once per `spread` entries, something awkward: a missing
// value, a run of missing bars, a present NaN, ±inf, zero, a negative
// price, or a run of flat bars (zero variance, H = L).
std::vector<Bar> awkward_bars(std::size_t n, std::uint64_t seed, std::size_t spread, bool present_nan) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Bar> bars;
  double level = 100.0;
  std::size_t gap = 0;
  std::size_t flat = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (flat == 0) level += (u(gen) - 0.5) * 2.0;
    if (level < 1.0) level = 1.0 + u(gen);
    const double up = flat ? 0.0 : u(gen), down = flat ? 0.0 : u(gen);
    Bar b = {level + up, level - down, level - down / 2.0, level + up / 3.0};
    if (flat) --flat;
    if (gap) {
      --gap;
      b = {M, M, M, M};
    }
    for (Value& v : b) {
      const std::size_t roll = gen() % (spread * 10);
      switch (roll) {
        case 0: case 1: case 2: v = M; break;
        case 3: v = present_nan ? Value(kNan) : M; break;
        case 4: v = kInf; break;
        case 5: v = -kInf; break;
        case 6: v = 0.0; break;
        case 7: v = -level; break;
        case 8: gap = gen() % 40; break;
        case 9: flat = gen() % 30; break;
        default: break;
      }
    }
    bars.push_back(b);
  }
  return bars;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// ---- SIMD paths ----------------------------------------------------------

// Runs `body` once on every path this CPU has, restoring the default after.
template <class Body>
void on_every_path(Body&& body) {
  const std::string before = simd::current_path();
  for (const std::string& path : simd::available_paths()) {
    SCOPED_TRACE("path " + path);
    ASSERT_TRUE(simd::set_path(path));
    body();
  }
  ASSERT_TRUE(simd::set_path(before));
}

// ---- feature column runs -------------------------------------------------

// Column storage for a stretch of bars.
struct Columns {
  std::vector<std::vector<double>> values;
  std::vector<std::vector<std::uint8_t>> valid;

  Columns(std::size_t count, std::size_t n) : values(count, std::vector<double>(n, -7.0)), valid(count, std::vector<std::uint8_t>(n, 9)) {}
  std::vector<ColumnIn> in() const {
    std::vector<ColumnIn> c;
    for (std::size_t j = 0; j < values.size(); ++j) c.push_back({values[j].data(), valid[j].data()});
    return c;
  }
  std::vector<ColumnOut> out() {
    std::vector<ColumnOut> c;
    for (std::size_t j = 0; j < values.size(); ++j) c.push_back({values[j].data(), valid[j].data()});
    return c;
  }
};

Columns columns_of(const std::vector<Bar>& bars, std::size_t begin, std::size_t end, std::size_t width) {
  Columns c(width, end - begin);
  for (std::size_t i = begin; i < end; ++i)
    for (std::size_t j = 0; j < width; ++j) {
      const Value& v = bars[i][j];
      c.valid[j][i - begin] = v.has_value();
      c.values[j][i - begin] = v ? *v : 12345.0;  // never read as a number
    }
  return c;
}

// Runs bars [begin, end) through run_columns, appending per-bar outputs.
void run_piece(Feature& f, const std::vector<Bar>& bars, std::size_t begin, std::size_t end,
               std::vector<std::vector<Value>>& got) {
  const Columns in = columns_of(bars, begin, end, bars.empty() ? 0 : bars[0].size());
  Columns out(f.output_names().size(), end - begin);
  const auto ins = in.in();
  const auto outs = out.out();
  ASSERT_TRUE(f.run_columns(end - begin, ins, outs).has_value());
  for (std::size_t i = 0; i < end - begin; ++i) {
    std::vector<Value> row;
    for (std::size_t k = 0; k < outs.size(); ++k) row.push_back(out.valid[k][i] ? Value(out.values[k][i]) : M);
    got.push_back(row);
  }
}

// The reference pads each update result to one value per output name.
std::vector<std::vector<Value>> reference(Feature& f, const std::vector<Bar>& bars) {
  std::vector<std::vector<Value>> out;
  const std::size_t names = f.output_names().size();
  for (const Bar& b : bars) {
    auto r = f.update(b);
    EXPECT_TRUE(r.has_value());
    std::vector<Value> row(r->begin(), r->end());
    row.resize(names, M);
    out.push_back(row);
  }
  return out;
}

// Column runs in random pieces (some bars through update in between) give
// the reference's bits, and the state left continues like the reference.
void check_feature(const Feature& proto, const std::vector<Bar>& bars, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  const std::size_t n = bars.size();
  const std::size_t tail = std::min<std::size_t>(n, 60);
  std::vector<Bar> all = bars;
  all.insert(all.end(), bars.begin(), bars.begin() + static_cast<std::ptrdiff_t>(tail));

  auto ref = proto.fresh();
  const auto want = reference(*ref, all);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    auto f = proto.fresh();
    std::vector<std::vector<Value>> got;
    std::size_t at = 0;
    while (at < n) {
      // Round 0: one call; later rounds: pieces of every size, 0 included.
      std::size_t len = round == 0 ? n : gen() % (n / 2 + 2);
      len = std::min(len, n - at);
      if (round == 2 && gen() % 4 == 0) {
        auto part = reference(*f, std::vector<Bar>(bars.begin() + static_cast<std::ptrdiff_t>(at),
                                                   bars.begin() + static_cast<std::ptrdiff_t>(at + len)));
        got.insert(got.end(), part.begin(), part.end());
      } else {
        run_piece(*f, bars, at, at + len, got);
      }
      at += len;
    }
    // What follows runs on from the state left behind: by update, then by
    // another column run.
    const std::size_t half = tail / 2;
    auto more = reference(*f, std::vector<Bar>(bars.begin(), bars.begin() + static_cast<std::ptrdiff_t>(half)));
    got.insert(got.end(), more.begin(), more.end());
    run_piece(*f, bars, half, tail, got);

    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
      for (std::size_t k = 0; k < want[i].size(); ++k)
        ASSERT_TRUE(testing::same_bits(got[i][k], want[i][k]))
            << "bar " << i << " output " << k << ": got " << testing::show(got[i][k]) << ", want "
            << testing::show(want[i][k]);
  }
}

class FeatureColumns : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FeatureColumns, MatchUpdateBitForBitOnEveryPath) {
  const Kind& k = kinds()[GetParam()];
  const std::size_t windows[] = {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 20, 33, 64, 300};
  std::uint64_t seed = 1000 * GetParam();
  for (std::size_t w : windows) {
    if (w < k.min_window) continue;
    SCOPED_TRACE(::testing::Message() << k.name << " window " << w);
    ++seed;
    // One extra output name beyond what the feature produces, except where
    // the type fixes the count.
    Names outs = {"a", "b", "c"};
    outs.resize(k.produced == 2 ? 2 : 1 + seed % 2);
    auto proto = k.make({"h", "l", "o", "c"}, w, outs);
    const std::size_t n = 3 * w + 37 + seed % 29;
    const auto bars = awkward_bars(n, seed, 2 * w + 4, true);
    on_every_path([&] { check_feature(*proto, bars, seed); });
  }
}

INSTANTIATE_TEST_SUITE_P(EveryType, FeatureColumns, ::testing::Range<std::size_t>(0, 10),
                         [](const auto& info) { return std::string(kinds()[info.param].name); });

// Every type of the catalogue (the fixed ten also have their own suite
// above), built from its description: windows 1 to
// 300 (those the type accepts), other counts at their default and at a
// second value where accepted, reals at their default, one output name
// beyond what it produces where the type allows. A new type joins here by
// being registered.
class CatalogColumns : public ::testing::TestWithParam<std::size_t> {};

std::unique_ptr<Feature> from_description(const FeatureDescription& d, std::size_t window, std::size_t variant,
                                          bool extra_output) {
  Arguments a;
  for (const ParamDescription& p : d.params) {
    if (p.kind == ParamKind::names && std::string(p.name) == "inputs") {
      a.emplace_back(Names{"h", "l", "o", "c"});
    } else if (p.kind == ParamKind::names) {
      Names outs;
      for (std::size_t k = 0; k < std::max<std::size_t>(d.produces, p.minimum) + extra_output; ++k)
        outs.push_back("out" + std::to_string(k));
      a.emplace_back(std::move(outs));
    } else if (p.kind == ParamKind::name) {
      a.emplace_back(std::string("c"));
    } else if (p.kind == ParamKind::real) {
      a.emplace_back(*p.default_real);
    } else if (std::string(p.name) == "window") {
      a.emplace_back(window);
    } else {
      const std::size_t dflt = p.default_count.value_or(std::max<std::size_t>(p.minimum, 1));
      a.emplace_back(variant == 0 ? dflt : dflt == 0 ? 1 : dflt - 1);
    }
  }
  auto made = d.make(std::move(a));
  return made ? std::move(*made) : nullptr;
}

TEST_P(CatalogColumns, MatchUpdateBitForBitOnEveryPath) {
  const FeatureDescription& d = *feature_catalog()[GetParam()];
  const std::size_t windows[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 20, 31, 33, 64, 129, 300};
  std::uint64_t seed = 7919 * (GetParam() + 1);
  std::size_t checked = 0;
  for (std::size_t w : windows)
    for (std::size_t variant = 0; variant < 2; ++variant) {
      ++seed;
      auto proto = from_description(d, w, variant, seed % 2 == 0);
      if (!proto) proto = from_description(d, w, variant, false);
      if (!proto) continue;
      SCOPED_TRACE(::testing::Message() << d.name << " window " << w << " variant " << variant);
      // Lengths around the lane counts (2, 4, 8 lanes, packs of 2 or 4).
      const std::size_t n = w + (seed % 3 == 0 ? seed % 17 : 2 * w + 31 + seed % 29);
      const auto bars = awkward_bars(n, seed, 2 * w + 4, true);
      on_every_path([&] { check_feature(*proto, bars, seed); });
      ++checked;
    }
  EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryType, CatalogColumns,
                         ::testing::Range<std::size_t>(0, kFeatureTypeCount),
                         [](const auto& info) { return std::string(feature_catalog()[info.param]->name); });

TEST(FeatureColumns, RefusesTooFewColumnsBeforeAnythingChanges) {
  auto f = kinds()[9].make({"h", "l", "o", "c"}, 3, {"rs", "extra"});
  const auto bars = awkward_bars(40, 5, 1000, false);
  const Columns in = columns_of(bars, 0, 40, 4);
  Columns out(2, 40);
  auto ins = in.in();
  auto outs = out.out();
  auto r = f->run_columns(40, std::span<const ColumnIn>(ins.data(), 3), outs);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Invalid input: columns must hold at least 4 columns, got 3");
  r = f->run_columns(40, ins, std::span<const ColumnOut>(outs.data(), 1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Invalid input: outputs must hold one column per output name: expected 2, got 1");
  EXPECT_TRUE(out.valid[0][0] == 9 && out.valid[1][39] == 9);  // nothing written
  // The refused calls left a just-built feature.
  auto fresh = f->fresh();
  testing::expect_same_bits(testing::run(*f, bars), testing::run(*fresh, bars));
}

// A windowed feature written the way a new one is: its term, its window
// formula and its streaming step; the column run is the shared driver's.
// The mean of x * y over the last `window` bars.
class MeanProduct final : public ConfiguredFeature {
 public:
  MeanProduct(std::size_t window, Names outputs)
      : ConfiguredFeature({"h", "l"}, window, std::move(outputs)), terms_(window) {}
  std::size_t warm_up_period() const override { return window_ - 1; }
  std::unique_ptr<Feature> fresh() const override { return std::make_unique<MeanProduct>(window_, outputs_); }
  void reset() override { terms_.clear(); }
  std::size_t values_read() const override { return 2; }

 protected:
  static Value term(const Value& x, const Value& y) { return x && y ? Value(*x * *y) : M; }
  Values step(std::span<const Value> v) override {
    push_value(terms_, term(v[0], v[1]));
    if (!terms_.complete()) return {M};
    return {lanes::window_mean<double>(terms_.values(), window_)};
  }
  void step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) override {
    run_window(terms_, bars, out, 1, Marks::complete_windows,
               TermEntries{[&](std::size_t i) { return term(value_at(in, 0, i), value_at(in, 1, i)); }},
               [](const StagedRun<1>& r, std::span<const ColumnOut> o) {
                 simd::kernels().window_mean(r.values[0], r.bars, r.span, o[0].values);
               });
  }

 private:
  StagedWindow<1> terms_;
};

TEST(WindowDriver, NewFeatureFromTermAndFormulaMatchesUpdateOnEveryPath) {
  std::uint64_t seed = 77;
  for (std::size_t w : {1, 2, 5, 33}) {
    for (const Names& outs : {Names{"m"}, Names{"m", "beyond"}}) {
      SCOPED_TRACE(::testing::Message() << "window " << w << ", " << outs.size() << " names");
      const MeanProduct proto(w, outs);
      const auto bars = awkward_bars(3 * w + 41, ++seed, 2 * w + 4, true);
      on_every_path([&] { check_feature(proto, bars, seed); });
    }
  }
}

// begin(bars) takes the room for its run itself: a run needs no earlier
// reserve() call, and the history is staged in front of the run's entries.
TEST(WindowDriver, BeginTakesTheRoomForItsRun) {
  StagedWindow<2> w(3);
  w.push(true, {1.0, 10.0});
  w.push(false, {0.0, 0.0});
  w.begin(4);
  ASSERT_EQ(w.lookback(), 2u);
  EXPECT_EQ(w.staged(0)[0], 1.0);
  EXPECT_EQ(w.staged(1)[0], 10.0);
  EXPECT_EQ(w.staged_valid()[0], 1);
  EXPECT_EQ(w.staged_valid()[1], 0);
  for (std::size_t i = 0; i < 4; ++i) {
    w.staged(0)[2 + i] = static_cast<double>(i);
    w.staged(1)[2 + i] = static_cast<double>(10 * i);
    w.staged_valid()[2 + i] = 1;
  }
  w.commit(4);
  ASSERT_TRUE(w.complete());
  EXPECT_EQ(w.values(0)[0], 1.0);
  EXPECT_EQ(w.values(1)[2], 30.0);
}

// ---- pipelines -----------------------------------------------------------

struct PipelineCase {
  std::vector<std::function<std::unique_ptr<Feature>()>> makers;
};

// A random pipeline over h, l, o, c: features read input columns or earlier
// features' outputs (chains), some carry an output name beyond what they
// produce, some shadow an input column with their output, and the list is
// passed shuffled.
PipelineCase random_pipeline(std::mt19937_64& gen, std::size_t max_window) {
  PipelineCase pc;
  Names available = {"h", "l", "o", "c"};
  Names shadowable = {"h", "l", "o", "c"};
  Names read;
  const std::size_t count = 1 + gen() % 6;
  for (std::size_t f = 0; f < count; ++f) {
    const Kind& k = kinds()[gen() % kinds().size()];
    const std::size_t w = std::max(k.min_window, 1 + gen() % max_window);
    Names in;
    for (std::size_t j = 0; j < k.inputs; ++j) in.push_back(available[gen() % available.size()]);
    // A column read by an earlier feature cannot be shadowed (a cycle);
    // this feature may read the column it shadows.
    for (std::size_t j = 0; j < shadowable.size();)
      if (std::find(read.begin(), read.end(), shadowable[j]) != read.end())
        shadowable.erase(shadowable.begin() + static_cast<std::ptrdiff_t>(j));
      else
        ++j;
    read.insert(read.end(), in.begin(), in.end());
    Names out;
    const auto name = [f](const std::string& suffix) {
      std::string s = "f";
      s += std::to_string(f);
      s += '_';
      s += suffix;
      return s;
    };
    for (std::size_t j = 0; j < k.produced; ++j) out.push_back(name(std::to_string(j)));
    if (k.produced == 1 && gen() % 5 == 0) out.push_back(name("extra"));
    if (gen() % 6 == 0 && !shadowable.empty()) {
      const std::size_t s = gen() % shadowable.size();
      out[0] = shadowable[s];
      shadowable.erase(shadowable.begin() + static_cast<std::ptrdiff_t>(s));
    }
    for (const std::string& o : out) available.push_back(o);
    const auto make = k.make;
    pc.makers.push_back([make, in, w, out] { return make(in, w, out); });
  }
  std::shuffle(pc.makers.begin(), pc.makers.end(), gen);
  return pc;
}

FeaturePipeline build(const PipelineCase& pc) {
  std::vector<std::unique_ptr<Feature>> fs;
  for (const auto& m : pc.makers) fs.push_back(m());
  auto p = FeaturePipeline::create(std::move(fs), {"h", "l", "o", "c"});
  EXPECT_TRUE(p.has_value()) << (p ? "" : p.error().message());
  return std::move(*p);
}

// Bars at the double boundary: NaN marks missing; the row-major table.
std::vector<double> table_of(const std::vector<Bar>& bars) {
  std::vector<double> t;
  for (const Bar& b : bars)
    for (const Value& v : b) t.push_back(v ? *v : kNan);
  return t;
}

std::vector<Bar> rows_of_table(const std::vector<double>& t, std::size_t width) {
  std::vector<Bar> rows;
  for (std::size_t i = 0; i < t.size() / width; ++i) {
    Bar b;
    for (std::size_t j = 0; j < width; ++j) b.push_back(std::isnan(t[i * width + j]) ? M : Value(t[i * width + j]));
    rows.push_back(b);
  }
  return rows;
}

// What run_columns must write for a value: its bits, or the quiet NaN.
std::uint64_t boundary_bits(const Value& v) { return bits(v ? *v : kNan); }

// Runs rows [begin, end) of the table through run_columns; outputs go to a
// column-major table of `bars` rows (stride 1) or a row-major one.
Result<RunStatus> run_table(FeaturePipeline& p, const std::vector<double>& table, std::size_t begin,
                            std::size_t end, std::vector<double>& out, bool column_major, bool reset_first) {
  const std::size_t width = p.output_names().size();
  const std::size_t total = table.size() / 4;
  std::vector<StridedColumn> ins;
  for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + begin * 4 + j, 4});
  std::vector<StridedOutput> outs;
  for (std::size_t k = 0; k < width; ++k)
    outs.push_back(column_major ? StridedOutput{out.data() + k * total + begin, 1}
                                : StridedOutput{out.data() + begin * width + k, static_cast<std::ptrdiff_t>(width)});
  return p.run_columns(end - begin, ins, outs, reset_first);
}

void expect_table(const std::vector<double>& got, const std::vector<std::vector<Value>>& want, std::size_t width,
                  bool column_major) {
  const std::size_t n = want.size();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < width; ++k) {
      const double g = column_major ? got[k * n + i] : got[i * width + k];
      ASSERT_EQ(bits(g), boundary_bits(want[i][k])) << "bar " << i << " output " << k << ": got " << g
                                                    << ", want " << testing::show(want[i][k]);
    }
}

std::vector<std::vector<Value>> update_loop(FeaturePipeline& p, const std::vector<Bar>& rows) {
  std::vector<std::vector<Value>> out;
  for (const Bar& b : rows) {
    auto r = p.update(b);
    EXPECT_TRUE(r.has_value());
    out.emplace_back(r->begin(), r->end());
  }
  return out;
}

ResearchResult research(FeaturePipeline& p, const std::vector<Bar>& rows) {
  std::vector<Value> flat;
  std::vector<std::size_t> offsets = {0};
  for (const Bar& b : rows) {
    flat.insert(flat.end(), b.begin(), b.end());
    offsets.push_back(flat.size());
  }
  auto r = p.run_research({flat, offsets});
  EXPECT_TRUE(r.has_value());
  return std::move(*r);
}

void check_pipeline(const PipelineCase& pc, std::size_t n, std::uint64_t seed, std::size_t spread) {
  std::mt19937_64 gen(seed);
  const std::vector<double> table = table_of(awkward_bars(n, seed, spread, false));
  const std::vector<Bar> rows = rows_of_table(table, 4);
  const std::vector<Bar> after(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(n, 40)));

  FeaturePipeline ref = build(pc);
  const std::size_t width = ref.output_names().size();
  const auto want = update_loop(ref, rows);
  const auto want_after = update_loop(ref, after);

  // run_research.
  {
    FeaturePipeline p = build(pc);
    const ResearchResult r = research(p, rows);
    ASSERT_EQ(r.bars, n);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t k = 0; k < width; ++k)
        ASSERT_TRUE(testing::same_bits(r.bar(i)[k], want[i][k])) << "research bar " << i << " output " << k;
    testing::expect_same_bits(update_loop(p, after), want_after);
  }
  // run_columns in one call and in random pieces, both output layouts.
  for (int split = 0; split < 2; ++split) {
    SCOPED_TRACE(split ? "pieces" : "one call");
    const bool column_major = gen() % 2;
    FeaturePipeline p = build(pc);
    p.update(rows[0]);  // reset_first must discard this
    std::vector<double> out(n * width, -1.0);
    std::size_t at = 0;
    bool first = true;
    do {
      std::size_t len = split ? gen() % (n / 3 + 2) : n;
      len = std::min(len, n - at);
      auto s = run_table(p, table, at, at + len, out, column_major, first);
      ASSERT_TRUE(s.has_value());
      ASSERT_EQ(*s, RunStatus::done);
      first = false;
      at += len;
    } while (at < n);
    expect_table(out, want, width, column_major);
    testing::expect_same_bits(update_loop(p, after), want_after);
  }
}

TEST(PipelineColumns, RandomPipelinesMatchUpdateAndResearchOnEveryPath) {
  std::mt19937_64 gen(77);
  for (int c = 0; c < 40; ++c) {
    const PipelineCase pc = random_pipeline(gen, c % 4 == 0 ? 120 : 25);
    const std::uint64_t seed = gen();
    SCOPED_TRACE(::testing::Message() << "case " << c);
    on_every_path([&] { check_pipeline(pc, 250 + seed % 300, seed, 30 + seed % 100); });
  }
}

// One call spanning several of the engine's blocks.
TEST(PipelineColumns, LongRunsAcrossBlocksMatchUpdate) {
  std::mt19937_64 gen(5);
  const PipelineCase pc = random_pipeline(gen, 30);
  check_pipeline(pc, 40000, 99, 500);
}

FeaturePipeline sma_pipeline() {
  std::vector<std::unique_ptr<Feature>> fs;
  fs.push_back(std::make_unique<Sma>(*Sma::create({"c"}, 5, {"s"})));
  return std::move(*FeaturePipeline::create(std::move(fs), {"h", "l", "o", "c"}));
}

TEST(PipelineColumns, InterruptStopsAndResetsEveryFeature) {
  const std::size_t n = 40000;
  const std::vector<double> table = table_of(awkward_bars(n, 3, 1000, false));
  const std::vector<Bar> rows = rows_of_table(table, 4);
  FeaturePipeline ref = sma_pipeline();
  const auto want = update_loop(ref, std::vector<Bar>(rows.begin(), rows.begin() + 10));

  for (int stop_at : {1, 2}) {
    FeaturePipeline p = sma_pipeline();
    std::vector<double> out(n, -1.0);
    std::vector<StridedColumn> ins;
    for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + j, 4});
    const std::vector<StridedOutput> outs = {{out.data(), 1}};
    int asked = 0;
    auto s = p.run_columns(n, ins, outs, true, [&] { return ++asked == stop_at; });
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, RunStatus::interrupted);
    EXPECT_EQ(asked, stop_at);
    if (stop_at == 1) {
      EXPECT_EQ(out[0], -1.0);  // stopped before the first bar
    }
    EXPECT_EQ(out[n - 1], -1.0);
    // Reset: the next bars start from scratch.
    testing::expect_same_bits(update_loop(p, std::vector<Bar>(rows.begin(), rows.begin() + 10)), want);
  }
  // Never interrupted: asked between blocks, the run completes.
  FeaturePipeline p = sma_pipeline();
  std::vector<double> out(n);
  std::vector<StridedColumn> ins;
  for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + j, 4});
  const std::vector<StridedOutput> outs = {{out.data(), 1}};
  int asked = 0;
  EXPECT_EQ(*p.run_columns(n, ins, outs, true, [&] { return ++asked < 0; }), RunStatus::done);
  EXPECT_GE(asked, 2);
}

// The interrupt check comes after a bounded amount of work (bars times
// window), not after a fixed number of bars: a long window makes short
// blocks. Stopped at the third look, at most two blocks were written.
TEST(PipelineColumns, LongWindowsAreAskedAboutInterruptsAfterBoundedWork) {
  for (const std::size_t window : {std::size_t{300}, std::size_t{200000}}) {
    std::vector<std::unique_ptr<Feature>> fs;
    fs.push_back(std::make_unique<Kurtosis>(*Kurtosis::create({"c"}, window, {"k"})));
    FeaturePipeline p = std::move(*FeaturePipeline::create(std::move(fs), {"c"}));
    const std::size_t n = window + 40000;
    std::vector<double> in(n), out(n, -1.0);
    for (std::size_t i = 0; i < n; ++i) in[i] = std::sin(0.001 * static_cast<double>(i)) + 2.0;
    const std::vector<StridedColumn> ins = {{in.data(), 1}};
    const std::vector<StridedOutput> outs = {{out.data(), 1}};
    int asked = 0;
    auto s = p.run_columns(n, ins, outs, true, [&] { return ++asked == 3; });
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, RunStatus::interrupted);
    const auto written = static_cast<std::size_t>(std::count_if(out.begin(), out.end(), [](double x) {
      return x != -1.0;
    }));
    EXPECT_GT(written, 0u) << window;
    // About 2^24 steps a block; 2^25 leaves room without allowing the
    // thousands of bars per block a window-blind block size would give.
    EXPECT_LE(written, 2 * std::max<std::size_t>((std::size_t{1} << 25) / window, 1)) << window;
  }
}

TEST(PipelineColumns, TooFewColumnsAreRefusedBeforeAnythingChanges) {
  const std::vector<double> table = table_of(awkward_bars(20, 4, 1000, false));
  const std::vector<Bar> rows = rows_of_table(table, 4);
  FeaturePipeline p = sma_pipeline();
  FeaturePipeline ref = sma_pipeline();
  update_loop(p, rows);
  update_loop(ref, rows);
  std::vector<double> out(20, -1.0);
  std::vector<StridedColumn> ins;
  for (std::size_t j = 0; j < 4; ++j) ins.push_back({table.data() + j, 4});
  const std::vector<StridedOutput> outs = {{out.data(), 1}};

  auto r = p.run_columns(20, std::span<const StridedColumn>(ins.data(), 3), outs, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Invalid input: data must hold one column per input column: expected 4, got 3");
  r = p.run_columns(20, ins, std::span<const StridedOutput>(), true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Invalid input: outputs must hold one column per output name: expected 1, got 0");
  EXPECT_EQ(out[0], -1.0);
  testing::expect_same_bits(update_loop(p, rows), update_loop(ref, rows));
  // Zero bars: nothing to do, nothing changes without reset_first.
  EXPECT_EQ(*p.run_columns(0, ins, outs, false), RunStatus::done);
  testing::expect_same_bits(update_loop(p, rows), update_loop(ref, rows));
}

// The targets' rolling deviation shares the window arithmetic: on every
// path it equals the plain two-pass loop bit for bit.
TEST(RollingStd, MatchesThePlainLoopOnEveryPath) {
  for (std::size_t w : {2, 3, 5, 16, 17, 40}) {
    const auto bars = awkward_bars(300, w, 3 * w, true);
    Column c;
    for (const Bar& b : bars) c.push_back(b[3]);
    Column want(c.size(), M);
    for (std::size_t end = w - 1; end < c.size(); ++end) {
      double sum = 0.0;
      bool complete = true;
      for (std::size_t k = end + 1 - w; k <= end; ++k) {
        if (!c[k]) complete = false;
        else sum += *c[k];
      }
      if (!complete) continue;
      const double mean = sum / static_cast<double>(w);
      double ss = 0.0;
      for (std::size_t k = end + 1 - w; k <= end; ++k) ss += (*c[k] - mean) * (*c[k] - mean);
      want[end] = std::sqrt(ss / static_cast<double>(w - 1));
    }
    on_every_path([&] {
      const Column got = rolling_std(c, w);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(testing::same_bits(got[i], want[i])) << "window " << w << " entry " << i;
    });
  }
}

TEST(SimdPaths, ScalarAlwaysAvailableAndUnknownOrUnsupportedRefused) {
  const auto paths = simd::available_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths[0], "scalar");
  const std::string before = simd::current_path();
  EXPECT_EQ(before, paths.back());  // the best path is the default
  EXPECT_FALSE(simd::set_path("sse9"));
#if defined(__x86_64__)
  // Every path this CPU can run is offered, so the tests that walk the paths
  // run them all.
  const auto offered = [&](const char* name) { return std::find(paths.begin(), paths.end(), name) != paths.end(); };
  EXPECT_EQ(offered("avx2"), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(offered("avx512"), __builtin_cpu_supports("avx512f") != 0);
#endif
  for (const char* name : {"avx2", "avx512"})
    if (std::find(paths.begin(), paths.end(), name) == paths.end()) {
      EXPECT_FALSE(simd::set_path(name));
    }
  EXPECT_EQ(simd::current_path(), before);
  for (const std::string& p : paths) {
    ASSERT_TRUE(simd::set_path(p));
    EXPECT_EQ(simd::current_path(), p);
  }
  ASSERT_TRUE(simd::set_path(before));
}


// Moving averages of input columns go straight over contiguous columns:
// every window from one bar up, runs shorter and longer than two windows,
// presence written, against update bar by bar, and continuing after.
TEST(PipelineColumns, MovingAveragesInPlaceMatchUpdate) {
  for (std::size_t w : {1, 2, 7, 40}) {
    for (std::size_t n : {std::size_t{1}, 2 * w - 1, 2 * w, std::size_t{5000}}) {
      const std::vector<Bar> rows = awkward_bars(n, static_cast<unsigned>(w * 31 + n), 50, false);
      const std::vector<double> table = table_of(rows);
      std::vector<double> close(n);  // column c alone, contiguous
      for (std::size_t i = 0; i < n; ++i) close[i] = table[i * 4 + 3];
      const auto make = [w] {
        std::vector<std::unique_ptr<Feature>> fs;
        fs.push_back(std::make_unique<Sma>(*Sma::create({"c"}, w, {"s"})));
        return std::move(*FeaturePipeline::create(std::move(fs), {"c"}));
      };
      FeaturePipeline p = make();
      FeaturePipeline ref = make();
      std::vector<double> out(n, -1.0);
      std::vector<std::uint8_t> present(n, 7);
      const std::vector<StridedColumn> ins = {{close.data(), 1}};
      const std::vector<StridedOutput> outs = {{out.data(), 1, present.data(), 1}};
      ASSERT_TRUE(p.run_columns(n, ins, outs, true).has_value());
      for (std::size_t i = 0; i < n; ++i) {
        const auto want = ref.update(std::vector<Value>{std::isnan(close[i]) ? kMissing : Value(close[i])});
        ASSERT_TRUE(want.has_value());
        ASSERT_EQ(bits(out[i]), boundary_bits((*want)[0])) << "w " << w << " n " << n << " bar " << i;
        ASSERT_EQ(present[i], (*want)[0].has_value() ? 1 : 0) << "w " << w << " n " << n << " bar " << i;
      }
      for (double x : {1.0, 2.0, kNan, 4.0}) {  // the state left behind is update's
        const std::vector<Value> bar = {std::isnan(x) ? kMissing : Value(x)};
        const auto got = p.update(bar);
        const auto want = ref.update(bar);
        ASSERT_TRUE(got.has_value() && want.has_value());
        ASSERT_EQ(boundary_bits((*got)[0]), boundary_bits((*want)[0])) << "w " << w << " n " << n;
      }
    }
  }
}

}  // namespace
}  // namespace sarvek
