#include "core/features/ema.h"
#include "core/lane_block.h"

#include "core/catalog.h"
#include "core/features/one_bar.h"

#include <limits>

namespace sarvek {

Ema::Ema(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), state_(window) {}

Result<Ema> Ema::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.empty()) return invalid_input("inputs must not be empty");
  if (outputs.empty()) return invalid_input("outputs must not be empty");
  if (window == 0) return invalid_input("window must be non-zero");
  return Ema(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> Ema::fresh() const { return rebuild<Ema>(inputs_, window_, outputs_); }

void Ema::reset() { state_.reset(); }

Values Ema::step(std::span<const Value> values) {
  return run_one_bar<1, 1>(values, [&](std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
    Ema::step_columns(1, in, out);
  });
}

// The recurrence is serial: one bar after another on plain arrays.
void Ema::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  // Written out rather than through run_recurrence: through the driver the
  // compiler keeps this loop about twice as slow (measured).
  const double* x = in[0].values;
  const std::uint8_t* present = in[0].valid;
  double* v = out[0].values;
  std::uint8_t* ok = out[0].valid;
  for (std::size_t i = 0; i < bars; ++i) {
    // Running stretches in a register; the rest (seeding, gaps) bar by bar.
    i = state_.run_present(i, bars, x, present, [&](std::size_t j, double value) {
      v[j] = value;
      ok[j] = 1;
    });
    if (i == bars) break;
    const Value r = state_.advance(present[i] != 0, x[i]);
    ok[i] = r.has_value();
    v[i] = r ? *r : std::numeric_limits<double>::quiet_NaN();
  }
  fill_missing(out.subspan(1), bars);
}

namespace {

// Every lane's recursion: its average while running, otherwise the
// collection that seeds it (the ring), both as EmaState keeps them.
class EmaLanes final : public RecursionLanes {
 public:
  EmaLanes(std::size_t window, double alpha) : RecursionLanes(window), window_(window), alpha_(alpha) {}

  void reserve(std::size_t lanes) override {
    RecursionLanes::reserve(lanes);
    collect_.resize(std::max(collect_.size(), lanes), 0);
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    const double* x = in[0].values;
    const std::uint8_t* present = in[0].valid;
    for (std::size_t i = 0; i < used; ++i) collect_[i] = active[i] && !current_.has(i);
    ring_.push({x}, {present}, present, collect_.data(), used);
    for (std::size_t i = 0; i < used; ++i) {
      const bool has = present[i] != 0;
      const double xi = x[i];
      out[0].valid[i] = 0;
      if (!active[i]) continue;
      if (!collect_[i]) {
        if (!has) {
          current_.drop(i);
          continue;
        }
        const double next = EmaState::blend(alpha_, current_.value(i), xi);
        current_.set(i, next);
        out[0].values[i] = next;
        out[0].valid[i] = 1;
        continue;
      }
      if (!ring_.full(i)) continue;
      const bool complete = ring_.complete(i);
      // The plain mean of the collection, oldest to newest from 0.0.
      const double seed = complete ? lanes::window_mean<double>(ring_.lane_rows(0, i), window_) : 0.0;
      ring_.clear(i);
      if (!complete) continue;
      current_.set(i, seed);
      out[0].values[i] = seed;
      out[0].valid[i] = 1;
    }
  }

 private:
  std::size_t window_;
  double alpha_;
  std::vector<std::uint8_t> collect_;
};

}  // namespace

std::unique_ptr<LaneBlock> Ema::lanes() const { return std::make_unique<EmaLanes>(window_, state_.alpha()); }

const FeatureDescription& Ema::description() {
  static const FeatureDescription d{
      .name = "Ema",
      .visibility = Visibility::module,
      .doc = "Exponential Moving Average with SMA seeding.",
      .update_doc = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input.",
      .params = {names_param("inputs", "must not be empty", 1),
                 count_param("window", "must be non-zero", 1),
                 names_param("outputs", "must not be empty", 1)},
      .reads = 1,
      .produces = 1,
      .memory = nullptr,  // a recursion: every bar since the start counts
      // The seed is the mean of a whole collection of `window` bars, counted
      // from bar 0; a collection holding a missing value is thrown away, so
      // the seed waits for the first collection after `start`.
      .first_valid = [](const Arguments& a, std::size_t start, std::size_t) -> std::size_t {
        return EmaState::first_valid(count_argument(a, 1), start);
      },
      .make = make_windowed<Ema>,
      .is = is_a<Ema, Feature>,
      .arguments_of = windowed_arguments<Ema>,
  };
  return d;
}

}  // namespace sarvek
