#include "core/features/linear_slope.h"
#include "core/lane_block.h"

#include "core/catalog.h"
#include "core/features/window_run.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"

namespace sarvek {

LinearSlope::LinearSlope(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), pairs_(window) {}

Result<LinearSlope> LinearSlope::create(Names inputs, std::size_t window, Names outputs) {
  if (inputs.size() < 2) return invalid_input("inputs must contain x and y columns");
  if (window < 2) return invalid_input("window must be >= 2");
  if (outputs.size() != 2) return invalid_input("outputs must contain exactly 2 names: [slope, r2]");
  return LinearSlope(std::move(inputs), window, std::move(outputs));
}

std::unique_ptr<Feature> LinearSlope::fresh() const { return rebuild<LinearSlope>(inputs_, window_, outputs_); }

void LinearSlope::reset() { pairs_.clear(); }

// The same arithmetic as the shared regression routine (lanes::regress_lanes).
Values LinearSlope::step(std::span<const Value> values) {
  const Value& x = values[0];
  const Value& y = values[1];
  pairs_.push(x && y, {x ? *x : 0.0, y ? *y : 0.0});
  if (!pairs_.complete()) return {kMissing, kMissing};
  const double* xs = pairs_.values(0);
  const double* ys = pairs_.values(1);
  const auto fit = lanes::regress_lanes<double>(
      window_, [&](std::size_t i) { return xs[i]; }, [&](std::size_t i) { return ys[i]; });
  return {fit.has_slope ? Value(fit.slope) : kMissing, fit.has_r2 ? Value(fit.r2) : kMissing};
}

void LinearSlope::step_columns(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  run_window(pairs_, bars, out, 2, Marks::complete_windows, InputEntries<2>{in},
             [](const StagedRun<2>& r, std::span<const ColumnOut> o) {
               simd::kernels().regression(r.values[0], r.values[1], r.bars, r.span, o[0].values, o[1].values,
                                          o[0].valid, o[1].valid);
             });
}

const FeatureDescription& LinearSlope::description() {
  static const FeatureDescription d{
      .name = "LinearSlope",
      .visibility = Visibility::module,
      .doc = "Rolling OLS regression: slope and R² of y on x over a sliding window.",
      .update_doc = "Process one bar. Returns ``[slope, r2]``, ``NaN`` during warm-up.",
      .params = {names_param("inputs", "must contain x and y columns", 2),
                 count_param("window", "must be >= 2", 2),
                 names_param("outputs", "must contain exactly 2 names: [slope, r2]", 2)},
      .reads = 2,
      .produces = 2,
      .memory = memory_window_minus_one,
      .make = make_windowed<LinearSlope>,
      .is = is_a<LinearSlope, Feature>,
      .arguments_of = windowed_arguments<LinearSlope>,
  };
  return d;
}

namespace {

// Pairs of x and y, present where both are, each number stored as update()
// stores it; the fit of every lane's complete window.
class SlopeLanes final : public RingLanes<2> {
 public:
  explicit SlopeLanes(std::size_t window) : RingLanes<2>(window) {}
  void reserve(std::size_t lanes) override {
    RingLanes<2>::reserve(lanes);
    both_.resize(std::max(both_.size(), lanes), 0);
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    for (std::size_t i = 0; i < used; ++i) both_[i] = in[0].valid[i] && in[1].valid[i];
    ring_.push({in[0].values, in[1].values}, {in[0].valid, in[1].valid}, both_.data(), active, used);
    mark_complete(used, out[0]);
    std::copy(out[0].valid, out[0].valid + flags_.size(), out[1].valid);
    simd::kernels().lanes_regression(ring_.rows(0), ring_.rows(1), blocks(), ring_.block_stride(), ring_.capacity(),
                                     out[0].values, out[1].values, out[0].valid, out[1].valid);
  }

 private:
  std::vector<std::uint8_t> both_;
};

}  // namespace

std::unique_ptr<LaneBlock> LinearSlope::lanes() const { return std::make_unique<SlopeLanes>(window_); }

}  // namespace sarvek
