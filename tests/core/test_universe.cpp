// Universe: every slot bit for bit its own FeaturePipeline, under presence
// masks, add/remove, warming through the column engine and saved states;
// the state reader refuses truncated and damaged bytes without harm. A
// panel run: every group of a table in time order bit for bit its own
// column run.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/pipeline/feature_pipeline.h"
#include "core/pipeline/panel.h"
#include "core/pipeline/universe.h"
#include "core/lane_block.h"
#include "core/simd/kernels.h"
#include "core/state_io.h"

namespace sarvek {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A feature of type `d` over the columns h, l, o, c, every count at its
// default (or least) value and the window `window`.
std::unique_ptr<Feature> from_description(const FeatureDescription& d, std::size_t window, const std::string& tag) {
  Arguments a;
  for (const ParamDescription& p : d.params) {
    if (p.kind == ParamKind::names && std::string(p.name) == "inputs") {
      a.emplace_back(Names{"h", "l", "o", "c"});
    } else if (p.kind == ParamKind::names) {
      Names outs;
      for (std::size_t k = 0; k < std::max<std::size_t>(d.produces, p.minimum); ++k)
        outs.push_back(std::string(tag).append(std::to_string(k)));
      a.emplace_back(std::move(outs));
    } else if (p.kind == ParamKind::name) {
      a.emplace_back(std::string("c"));
    } else if (p.kind == ParamKind::real) {
      a.emplace_back(*p.default_real);
    } else if (std::string(p.name) == "window") {
      a.emplace_back(std::max(window, p.minimum));
    } else {
      a.emplace_back(p.default_count.value_or(std::max<std::size_t>(p.minimum, 1)));
    }
  }
  auto made = d.make(std::move(a));
  return made ? std::move(*made) : nullptr;
}

FeaturePipeline pipeline_of(std::vector<std::unique_ptr<Feature>> features) {
  auto p = FeaturePipeline::create(std::move(features), {"h", "l", "o", "c"});
  if (!p) throw std::logic_error(p.error().message());
  return std::move(*p);
}

// Every catalogued type, plus a chain (a return read by a windowed feature).
FeaturePipeline every_type(std::size_t window) {
  std::vector<std::unique_ptr<Feature>> features;
  for (std::size_t t = 0; t < feature_catalog().size(); ++t) {
    auto f = from_description(*feature_catalog()[t], window + t % 3, std::string("f").append(std::to_string(t)).append("_"));
    if (f) features.push_back(std::move(f));
  }
  return pipeline_of(std::move(features));
}

// Bars with gaps: NaN, infinities, zero and negative prices now and then.
std::vector<double> random_bars(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> bars(n * 4);
  for (double& x : bars) {
    const double r = u(rng);
    x = r < 0.05 ? kNan : r < 0.06 ? kInf : r < 0.07 ? -kInf : r < 0.09 ? 0.0 : r < 0.1 ? -1.5 : 50.0 + 10.0 * u(rng);
  }
  return bars;
}

void expect_same_row(const double* got, std::span<const Value> want, const std::string& where) {
  for (std::size_t k = 0; k < want.size(); ++k) {
    const bool same = want[k] ? std::bit_cast<std::uint64_t>(*want[k]) == std::bit_cast<std::uint64_t>(got[k]) ||
                                    (std::isnan(*want[k]) && std::isnan(got[k]))
                              : std::isnan(got[k]);
    ASSERT_TRUE(same) << where << " output " << k << ": got " << got[k] << ", want "
                      << (want[k] ? std::to_string(*want[k]) : "missing");
  }
}

// One step of the universe against each slot's twin pipeline.
void step_both(Universe& u, std::vector<FeaturePipeline>& twins, std::mt19937_64& rng, const std::string& where) {
  const std::size_t n = u.size();
  const std::vector<double> bars = random_bars(n, rng);
  std::vector<std::uint8_t> present(n);
  for (auto& p : present) p = rng() % 5 != 0;
  std::vector<double> out(n * u.outputs(), 1.0);
  u.update({bars.data(), 4, 1}, present.data(), 1, out.data());
  std::vector<Value> bar(4);
  for (std::size_t i = 0; i < n; ++i) {
    if (!present[i]) {
      for (std::size_t k = 0; k < u.outputs(); ++k) ASSERT_TRUE(std::isnan(out[i * u.outputs() + k]));
      continue;
    }
    for (std::size_t j = 0; j < 4; ++j) bar[j] = std::isnan(bars[i * 4 + j]) ? kMissing : Value(bars[i * 4 + j]);
    auto want = twins[i].update(bar);
    ASSERT_TRUE(want.has_value());
    SCOPED_TRACE(::testing::Message() << where << " symbol " << i);
    expect_same_row(out.data() + i * u.outputs(), *want, where);
  }
}

TEST(Universe, EverySlotMatchesItsOwnPipelineThroughAddRemoveAndRestore) {
  std::mt19937_64 rng(17);
  for (const std::size_t window : {1, 3, 6}) {
    const FeaturePipeline proto = every_type(window);
    Universe u(proto, 9);
    std::vector<FeaturePipeline> twins;
    for (std::size_t i = 0; i < u.size(); ++i) twins.push_back(proto.fresh());
    for (int bar = 0; bar < 60; ++bar) {
      std::ostringstream text;
      text << "window " << window << " bar " << bar;
      const std::string where = text.str();
      step_both(u, twins, rng, where);
      if (bar == 20) {  // a newcomer starts fresh, a leaver takes only its own slot
        u.add();
        twins.push_back(proto.fresh());
        u.remove(2);
        twins.erase(twins.begin() + 2);
      }
      if (bar == 40) {  // restored into another universe, which carries on
        auto saved = u.save();
        ASSERT_TRUE(saved.has_value()) << saved.error().message();
        Universe other(proto, 1);
        auto bytes = std::as_bytes(std::span(saved->data(), saved->size()));
        ASSERT_TRUE(other.load({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()}).has_value());
        ASSERT_EQ(other.size(), u.size());
        u = std::move(other);
      }
    }
  }
}

TEST(Universe, WarmEqualsFeedingTheHistoryBarByBar) {
  std::mt19937_64 rng(5);
  const FeaturePipeline proto = every_type(4);
  Universe u(proto, 3);
  std::vector<FeaturePipeline> twins;
  for (std::size_t i = 0; i < 3; ++i) twins.push_back(proto.fresh());
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t n = 10 + 37 * i;
    const std::vector<double> hist = random_bars(n, rng);
    std::vector<StridedColumn> cols;
    for (std::size_t j = 0; j < 4; ++j) cols.push_back({hist.data() + j, 4});
    auto done = u.warm(i, n, cols);
    ASSERT_TRUE(done.has_value() && *done == RunStatus::done);
    std::vector<Value> bar(4);
    for (std::size_t b = 0; b < n; ++b) {
      for (std::size_t j = 0; j < 4; ++j) bar[j] = std::isnan(hist[b * 4 + j]) ? kMissing : Value(hist[b * 4 + j]);
      ASSERT_TRUE(twins[i].update(bar).has_value());
    }
  }
  for (int bar = 0; bar < 30; ++bar) step_both(u, twins, rng, "after warm");

  // An interrupted warm leaves the slot exactly as it was.
  const std::vector<double> hist = random_bars(50, rng);
  std::vector<StridedColumn> cols;
  for (std::size_t j = 0; j < 4; ++j) cols.push_back({hist.data() + j, 4});
  auto stopped = u.warm(1, 50, cols, [] { return true; });
  ASSERT_TRUE(stopped.has_value() && *stopped == RunStatus::interrupted);
  EXPECT_FALSE(u.warm(1, 50, std::span(cols).first(3)).has_value());
  step_both(u, twins, rng, "after refused warms");
}

// Every catalogued type lists its state: a type added without it is caught
// here by name.
TEST(Universe, EveryCatalogueTypeCanBeSaved) {
  for (const FeatureDescription* d : feature_catalog()) {
    std::vector<std::unique_ptr<Feature>> one;
    one.push_back(from_description(*d, 3, "x"));
    ASSERT_TRUE(one.back()) << d->name;
    Universe u(pipeline_of(std::move(one)), 2);
    auto saved = u.save();
    EXPECT_TRUE(saved.has_value()) << d->name << ": " << (saved ? "" : saved.error().message());
  }
}

class Unsaved final : public ConfiguredFeature {
 public:
  Unsaved() : ConfiguredFeature({"c"}, 0, {"u"}) {}
  std::size_t warm_up_period() const override { return 0; }
  std::unique_ptr<Feature> fresh() const override { return std::make_unique<Unsaved>(); }
  void reset() override {}
  std::size_t values_read() const override { return 1; }

 protected:
  Values step(std::span<const Value> v) override { return {v[0]}; }
};

TEST(Universe, TypeWithoutListedStateIsRefusedByName) {
  std::vector<std::unique_ptr<Feature>> one;
  one.push_back(std::make_unique<Unsaved>());
  Universe u(pipeline_of(std::move(one)), 1);
  auto saved = u.save();
  ASSERT_FALSE(saved.has_value());
  EXPECT_NE(saved.error().message().find("cannot be saved"), std::string::npos) << saved.error().message();
}

// Every truncation and single-bit flips of a saved state: refused, or (a
// flipped number is still a number) accepted; a refusal changes nothing.
TEST(Universe, ReaderRefusesTruncatedAndDamagedStatesCleanly) {
  std::mt19937_64 rng(3);
  const FeaturePipeline proto = every_type(2);
  Universe u(proto, 2);
  std::vector<FeaturePipeline> twins;
  for (std::size_t i = 0; i < 2; ++i) twins.push_back(proto.fresh());
  for (int bar = 0; bar < 5; ++bar) step_both(u, twins, rng, "fill");
  const std::string saved = *u.save();
  const auto* bytes = reinterpret_cast<const unsigned char*>(saved.data());
  for (std::size_t len = 0; len < saved.size(); ++len) {
    auto r = u.load({bytes, len});
    ASSERT_FALSE(r.has_value()) << "a truncation to " << len << " bytes was accepted";
  }
  std::string damaged = saved;
  for (int flip = 0; flip < 3000; ++flip) {
    damaged = saved;
    const std::size_t at = rng() % damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ (1u << (rng() % 8)));
    Universe target(proto, 2);
    (void)target.load({reinterpret_cast<const unsigned char*>(damaged.data()), damaged.size()});
  }
  // Refusals left `u` as it was.
  step_both(u, twins, rng, "after refused loads");
  // A state of another pipeline is refused.
  std::vector<std::unique_ptr<Feature>> one;
  one.push_back(from_description(*feature_catalog()[0], 3, "x"));
  Universe other(pipeline_of(std::move(one)), 2);
  EXPECT_FALSE(other.load({bytes, saved.size()}).has_value());
}

// The types with lane blocks, chained: a return read by windows, a
// regression of the close on it, windows long enough to wrap many times.
std::unique_ptr<Feature> make(const char* type, Arguments a) {
  for (const FeatureDescription* d : feature_catalog())
    if (std::string(d->name) == type) {
      auto f = d->make(std::move(a));
      if (!f) throw std::logic_error(f.error().message());
      return std::move(*f);
    }
  throw std::logic_error(type);
}

FeaturePipeline lane_types(std::size_t w) {
  std::vector<std::unique_ptr<Feature>> f;
  f.push_back(make("LogReturn", {Names{"c"}, std::size_t{1}, Names{"ret"}}));
  f.push_back(make("SimpleReturn", {Names{"c"}, w, Names{"sr"}}));
  f.push_back(make("Sma", {Names{"ret"}, w, Names{"sma"}}));
  f.push_back(make("Ema", {Names{"c"}, w, Names{"ema"}}));
  f.push_back(make("Kama", {Names{"c"}, w, Names{"kama"}, std::size_t{2}, std::size_t{30}}));
  f.push_back(make("Skewness", {Names{"ret"}, w + 2, Names{"skew"}}));
  f.push_back(make("Kurtosis", {Names{"ret"}, w + 2, Names{"kurt"}}));  // run with the skewness
  f.push_back(make("Kurtosis", {Names{"ret"}, w + 3, Names{"kurt3"}}));
  f.push_back(make("LinearSlope", {Names{"ret", "c"}, w + 1, Names{"slope", "r2"}}));
  f.push_back(make("ParkinsonVolatility", {Names{"h", "l"}, w, Names{"park"}}));
  f.push_back(make("RogersSatchellVolatility", {Names{"h", "l", "o", "c"}, w, Names{"rs"}}));
  return pipeline_of(std::move(f));
}

// Every lane type against its own pipeline on every instruction set, for
// symbol counts around the block size, with symbols skipping bars (their
// windows held in place), joining and leaving mid-stream, and a restore.
TEST(Universe, LaneBlocksMatchTheirOwnPipelinesOnEveryPath) {
  for (const std::string& path : simd::available_paths()) {
    ASSERT_TRUE(simd::set_path(path));
    std::mt19937_64 rng(29);
    for (const std::size_t window : {2, 9, 31}) {
      const FeaturePipeline proto = lane_types(window);
      for (const std::size_t n : {1, 31, 33, 70}) {
        Universe u(proto, n);
        std::vector<FeaturePipeline> twins;
        for (std::size_t i = 0; i < n; ++i) twins.push_back(proto.fresh());
        for (int bar = 0; bar < 3 * static_cast<int>(window) + 40; ++bar) {
          std::ostringstream where;
          where << path << " window " << window << " n " << n << " bar " << bar;
          step_both(u, twins, rng, where.str());
          if (bar == 25) {  // across a block boundary: leave from the first block, join at the end
            u.remove(0);
            twins.erase(twins.begin());
            for (int k = 0; k < 3; ++k) {
              u.add();
              twins.push_back(proto.fresh());
            }
          }
          if (bar == 35) {
            Universe other(proto, 1);
            const std::string saved = *u.save();
            ASSERT_TRUE(other.load({reinterpret_cast<const unsigned char*>(saved.data()), saved.size()}).has_value());
            u = std::move(other);
          }
        }
      }
    }
  }
  simd::set_path(simd::available_paths().back());
}

// The types above run in lane blocks (not one feature per symbol), and a
// lane saves exactly the bytes of its own feature.
TEST(Universe, LaneTypesHaveLaneBlocksSavingTheirFeaturesBytes) {
  std::mt19937_64 rng(8);
  const FeaturePipeline proto = lane_types(5);
  for (const Feature* f : proto.features_in_caller_order()) EXPECT_NE(f->lanes(), nullptr);
  Universe u(proto, 40);
  std::vector<FeaturePipeline> twins;
  for (std::size_t i = 0; i < 40; ++i) twins.push_back(proto.fresh());
  for (int bar = 0; bar < 30; ++bar) step_both(u, twins, rng, "fill");
  std::string want;
  StateIO io = StateIO::writer(want);
  std::uint64_t count = 40;
  io(count);
  for (FeaturePipeline& t : twins) t.state(io);
  EXPECT_EQ(*u.save(), want);
}

// A Skewness and a Kurtosis of one column and window run as one block;
// a state in which their windows differ was not written by them and is
// refused, leaving the universe as it was.
TEST(Universe, MomentPairRefusesAStateWithDifferentWindows) {
  std::vector<std::unique_ptr<Feature>> f;
  f.push_back(make("Skewness", {Names{"c"}, std::size_t{4}, Names{"s"}}));
  f.push_back(make("Kurtosis", {Names{"c"}, std::size_t{4}, Names{"k"}}));
  const FeaturePipeline proto = pipeline_of(std::move(f));
  auto skew = make("Skewness", {Names{"c"}, std::size_t{4}, Names{"s"}});
  auto kurt = make("Kurtosis", {Names{"c"}, std::size_t{4}, Names{"k"}});
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(skew->update(std::vector<Value>{Value(1.0 + i)}).has_value());
    ASSERT_TRUE(kurt->update(std::vector<Value>{Value(1.0 + i * i)}).has_value());
  }
  std::string bytes;
  StateIO io = StateIO::writer(bytes);
  std::uint64_t count = 1;
  std::uint64_t steps = 2;
  std::string names[2] = {"Skewness", "Kurtosis"};
  io(count);
  io(steps);
  io(names[0]);
  skew->state(io);
  io(names[1]);
  kurt->state(io);
  Universe u(proto, 3);
  auto r = u.load({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message().find("different windows"), std::string::npos) << r.error().message();
  EXPECT_EQ(u.size(), 3u);
}


TEST(Panel, StepsEndWhereAGroupRepeats) {
  const std::vector<std::uint32_t> codes{0, 1, 2, 0, 2, 2, 1};
  EXPECT_EQ(panel_steps(codes, 3), (std::vector<std::size_t>{0, 3, 5, 7}));
  EXPECT_EQ(panel_steps({}, 3), (std::vector<std::size_t>{0}));
  // 40 groups (two blocks of lanes) at every step pay; a step per row does not.
  EXPECT_TRUE(panel_pays(100, 4000, 40));
  EXPECT_FALSE(panel_pays(4000, 4000, 40));
  EXPECT_FALSE(panel_pays(10, 10, 1));
}

// Groups of a table in time order (some rows missing, each step in its own
// order) run in two ranges of lanes, against each group's own column run,
// on every instruction set; a run told to stop says so.
TEST(Panel, EveryGroupIsItsOwnColumnRunOnEveryPath) {
  const FeaturePipeline proto = lane_types(7);
  const std::size_t groups = 45;
  std::mt19937_64 rng(31);
  std::vector<std::uint32_t> codes;
  for (std::size_t step = 0; step < 60; ++step) {
    std::vector<std::uint32_t> order(groups);
    for (std::uint32_t g = 0; g < groups; ++g) order[g] = g;
    if (step % 3 == 1) std::shuffle(order.begin(), order.end(), rng);
    for (const std::uint32_t g : order)
      if (step % 3 == 0 || rng() % 7 != 0) codes.push_back(g);
  }
  const std::size_t rows = codes.size();
  const std::vector<double> bars = random_bars(rows, rng);
  std::vector<StridedColumn> inputs;
  for (std::size_t c = 0; c < 4; ++c) inputs.push_back({bars.data() + c, 4});
  const std::size_t width = proto.output_names().size();
  const std::vector<std::size_t> starts = panel_steps(codes, groups);
  for (const std::string& path : simd::available_paths()) {
    ASSERT_TRUE(simd::set_path(path));
    std::vector<double> got(rows * width, 7.0);
    std::vector<std::uint8_t> got_present(rows * width, 2);
    std::vector<StridedOutput> outputs;
    for (std::size_t k = 0; k < width; ++k)
      outputs.push_back({got.data() + k, static_cast<std::ptrdiff_t>(width), got_present.data() + k,
                         static_cast<std::ptrdiff_t>(width)});
    for (const auto& [first, last] : {std::pair<std::size_t, std::size_t>{0, 33}, {33, groups}})
      ASSERT_EQ(*run_panel(proto, codes, starts, first, last, inputs, outputs), RunStatus::done);
    for (std::uint32_t g = 0; g < groups; ++g) {
      std::vector<std::size_t> mine;
      for (std::size_t r = 0; r < rows; ++r)
        if (codes[r] == g) mine.push_back(r);
      std::vector<double> in(mine.size() * 4);
      for (std::size_t i = 0; i < mine.size(); ++i)
        for (std::size_t c = 0; c < 4; ++c) in[i * 4 + c] = bars[mine[i] * 4 + c];
      std::vector<double> want(mine.size() * width);
      std::vector<std::uint8_t> want_present(mine.size() * width);
      std::vector<StridedColumn> cols;
      std::vector<StridedOutput> outs;
      for (std::size_t c = 0; c < 4; ++c) cols.push_back({in.data() + c, 4});
      for (std::size_t k = 0; k < width; ++k)
        outs.push_back({want.data() + k, static_cast<std::ptrdiff_t>(width), want_present.data() + k,
                        static_cast<std::ptrdiff_t>(width)});
      FeaturePipeline alone = proto.fresh();
      ASSERT_EQ(*alone.run_columns(mine.size(), cols, outs, true), RunStatus::done);
      for (std::size_t i = 0; i < mine.size(); ++i)
        for (std::size_t k = 0; k < width; ++k) {
          const std::size_t at = mine[i] * width + k;
          ASSERT_EQ(std::bit_cast<std::uint64_t>(got[at]), std::bit_cast<std::uint64_t>(want[i * width + k]))
              << path << " group " << g << " row " << mine[i] << " output " << k;
          ASSERT_EQ(got_present[at], want_present[i * width + k]) << path << " group " << g << " output " << k;
        }
    }
  }
  simd::set_path(simd::available_paths().back());
  // Asked to stop: interrupted, whatever was written.
  std::vector<std::uint32_t> two(600);
  for (std::size_t r = 0; r < two.size(); ++r) two[r] = static_cast<std::uint32_t>(r % 2);
  std::vector<double> more(two.size() * 4, 50.0);
  std::vector<StridedColumn> more_in;
  for (std::size_t c = 0; c < 4; ++c) more_in.push_back({more.data() + c, 4});
  std::vector<double> more_out(two.size() * width);
  std::vector<StridedOutput> more_outputs;
  for (std::size_t k = 0; k < width; ++k) more_outputs.push_back({more_out.data() + k, static_cast<std::ptrdiff_t>(width)});
  EXPECT_EQ(*run_panel(proto, two, panel_steps(two, 2), 0, 2, more_in, more_outputs, [] { return true; }),
            RunStatus::interrupted);
}

}  // namespace
}  // namespace sarvek
