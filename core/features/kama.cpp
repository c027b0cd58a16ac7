#include "core/features/kama.h"

#include <cmath>
#include <limits>
#include <optional>

#include "core/catalog.h"
#include "core/features/window_run.h"
#include "core/lane_block.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

Kama::Kama(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)),
      fast_(fast),
      slow_(slow),
      fast_sc_(2.0 / (static_cast<double>(fast) + 1.0)),
      slow_sc_(2.0 / (static_cast<double>(slow) + 1.0)),
      buffer_(window + 1) {}

Result<Kama> Kama::create(Names inputs, std::size_t window, Names outputs, std::size_t fast, std::size_t slow) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be >= 1");
  // The buffer holds window + 1 prices; that count must be representable.
  if (window == std::numeric_limits<std::size_t>::max()) return invalid_input("window is too large");
  if (fast == 0) return invalid_input("fast must be >= 1");
  if (slow <= fast) return invalid_input("slow must be > fast");
  return Kama(std::move(inputs), window, std::move(outputs), fast, slow);
}

std::unique_ptr<Feature> Kama::fresh() const { return rebuild<Kama>(inputs_, window_, outputs_, fast_, slow_); }

void Kama::reset() {
  current_.reset();
  buffer_.clear();
}

double Kama::next(double volatility, double newest, double oldest, double prev, double fast_sc, double slow_sc) {
  const double change = std::fabs(newest - oldest);
  // A zero or NaN volatility gives a ratio of 0.
  const double er = volatility > 0.0 ? change / volatility : 0.0;
  double sc = er * (fast_sc - slow_sc) + slow_sc;
  sc = sc * sc;
  return sc * (newest - prev) + prev;
}

double Kama::advance(double volatility, double newest, double oldest, double before) {
  const double value = next(volatility, newest, oldest, current_ ? *current_ : before, fast_sc_, slow_sc_);
  current_ = value;
  return value;
}

// The volatility is the sum of absolute changes, oldest to newest from 0.0
// (lanes::abs_change_sum); a missing price blocks the output and restarts
// the average. Until the window first fills there is no average to drop.
Values Kama::step(std::span<const Value> values) {
  push_value(buffer_, values[0]);
  if (!buffer_.complete()) {
    current_.reset();
    return {kMissing};
  }
  const double* p = buffer_.values();
  const double volatility = lanes::abs_change_sum<double>(p, window_ + 1);
  return {advance(volatility, p[window_], p[0], p[window_ - 1])};
}

// The path lengths of every bar's window first (in lanes), then the
// recurrence, serial, on plain arrays.
void Kama::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(buffer_, bars, out, 1, Marks::complete_windows, InputEntries<1>{in},
             [&](const StagedRun<1>& r, std::span<const ColumnOut> o) {
               const double* p = r.values[0];
               double* v = o[0].values;
               const std::uint8_t* ok = o[0].valid;
               simd::kernels().abs_change_sum(p, r.bars, r.span, v);
               // The average is carried in a local, so the recurrence runs
               // in registers rather than through the member each bar.
               std::optional<double> current = current_;
               const double fast = fast_sc_;
               const double slow = slow_sc_;
               for (std::size_t i = 0; i < r.bars; ++i) {
                 if (!ok[i]) {
                   current.reset();
                   continue;
                 }
                 const double value =
                     next(v[i], p[i + window_], p[i], current ? *current : p[i + window_ - 1], fast, slow);
                 current = value;
                 v[i] = value;
               }
               current_ = current;
             });
}

namespace {

// The last window + 1 prices and the average of every lane, as Kama keeps
// them; the path lengths across lanes, then each lane's recurrence.
class KamaLanes final : public RecursionLanes {
 public:
  KamaLanes(std::size_t window, double fast_sc, double slow_sc)
      : RecursionLanes(window + 1), window_(window), fast_sc_(fast_sc), slow_sc_(slow_sc) {}
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    push_first(used, in, active);
    mark_complete(used, out[0]);
    simd::kernels().lanes_abs_change_sum(ring_.rows(), blocks(), ring_.block_stride(), window_ + 1, out[0].values);
    for (std::size_t i = 0; i < used; ++i) {
      if (!active[i]) continue;
      if (!out[0].valid[i]) {
        current_.drop(i);
        continue;
      }
      const double before = ring_.entry(0, i, window_ - 1);
      const double value = Kama::next(out[0].values[i], ring_.entry(0, i, window_), ring_.entry(0, i, 0),
                                      current_.has(i) ? current_.value(i) : before, fast_sc_, slow_sc_);
      current_.set(i, value);
      out[0].values[i] = value;
    }
  }

 private:
  std::size_t window_;
  double fast_sc_;
  double slow_sc_;
};

}  // namespace

std::unique_ptr<LaneBlock> Kama::lanes() const { return std::make_unique<KamaLanes>(window_, fast_sc_, slow_sc_); }

const FeatureDescription& Kama::description() {
  static const FeatureDescription d{
      .name = "Kama",
      .visibility = Visibility::module,
      .doc = "Kaufman's Adaptive Moving Average.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be >= 1", 1),
                 names_param("outputs", "must not be empty", 1),
                 count_param("fast", "must be >= 1", 1, 2),
                 count_param("slow", "must be > fast", 0, 30)},
      .reads = 1,
      .produces = 1,
      .memory = nullptr,  // a recursion: every bar since the start counts
      .make = [](Arguments a) -> Result<std::unique_ptr<Feature>> {
        return owned<Kama, Feature>(Kama::create(std::get<Names>(std::move(a[0])), count_argument(a, 1),
                                                 std::get<Names>(std::move(a[2])), count_argument(a, 3),
                                                 count_argument(a, 4)));
      },
      .is = is_a<Kama, Feature>,
      .arguments_of = [](const Feature& f) -> Arguments {
        const auto& k = static_cast<const Kama&>(f);
        return {k.input_names(), k.window(), k.output_names(), k.fast(), k.slow()};
      },
  };
  return d;
}

}  // namespace sarvek
