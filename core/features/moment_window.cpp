#include "core/features/moment_window.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/lane_block.h"
#include "core/simd/kernels.h"

namespace sarvek {

MomentFeature::MomentFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

namespace {

// A Skewness and a Kurtosis over the same column and window: both always
// hold the same window, so the lanes keep it once and one kernel pass over
// it gives both results. Each part still saves and loads its own feature's
// state (the same bytes).
class MomentPairLanes final : public LaneBlock {
 public:
  MomentPairLanes(std::size_t window, MomentFeature::Constants skew, MomentFeature::Constants kurt, bool skew_first)
      : window_(window), skew_(skew), kurt_(kurt), skew_first_(skew_first), ring_(window) {}

  void reserve(std::size_t lanes) override {
    ring_.reserve(lanes);
    room_ = std::max(room_, lanes);
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    ring_.push({in[0].values}, {in[0].valid}, in[0].valid, active, used);
    ring_.complete_flags(out[0].valid, used, room_);
    std::copy(out[0].valid, out[0].valid + room_, out[1].valid);
    const LaneOut& s = out[skew_first_ ? 0 : 1];
    const LaneOut& k = out[skew_first_ ? 1 : 0];
    simd::kernels().lanes_moments(ring_.rows(), room_ / kLaneBlock, ring_.block_stride(), window_, skew_.coef,
                                  kurt_.scale, kurt_.correction, s.values, s.valid, k.values, k.valid);
  }
  void remove(std::size_t lane, std::size_t used) override { ring_.remove(lane, used); }
  void clear(std::size_t lane) override { ring_.clear(lane); }
  void state(std::size_t lane, StateIO& io) override { ring_.state(lane, io); }
  void part_state(std::size_t lane, StateIO& io, std::size_t part) override {
    if (!io.loading() || part == 0) return ring_.state(lane, io);
    // The second feature's window, loaded after the first's, must be the
    // same: both features always saw the same values, so a state where
    // their windows differ was not written by them.
    std::string first;
    StateIO before = StateIO::writer(first);
    ring_.state(lane, before);
    ring_.state(lane, io);
    if (io.failed()) return;
    std::string second;
    StateIO after = StateIO::writer(second);
    ring_.state(lane, after);
    if (first != second) io.fail("a Skewness and a Kurtosis over one column hold different windows");
  }

 private:
  std::size_t window_;
  MomentFeature::Constants skew_;
  MomentFeature::Constants kurt_;
  bool skew_first_;
  LaneRing<1> ring_;
  std::size_t room_ = 0;
};

}  // namespace

bool MomentFeature::runs_with(const Feature& later) const {
  const auto* other = dynamic_cast<const MomentFeature*>(&later);
  return other && other->window() == window_ && other->constants().skew != constants().skew;
}

bool MomentFeature::run_columns_with(Feature& later, std::size_t bars, std::span<const ColumnIn> in,
                                     std::span<const ColumnOut> mine, std::span<const ColumnOut> theirs) {
  auto* other = dynamic_cast<MomentFeature*>(&later);
  if (!other || !runs_with(later)) return false;
  const Window<1>& a = buffer_;
  const Window<1>& b = other->buffer_;
  if (a.size() != b.size() || std::memcmp(a.values(), b.values(), a.size() * sizeof(double)) != 0 ||
      std::memcmp(a.valid(), b.valid(), a.size()) != 0)
    return false;
  // The later feature's window takes the block and marks its complete
  // windows as alone; then one pass over this one's gives both results.
  other->run_moment(bars, in, theirs, [](const double*, std::size_t, const ColumnOut&) {});
  const Constants c = constants();
  const Constants o = other->constants();
  const Constants& skew = c.skew ? c : o;
  const Constants& kurt = c.skew ? o : c;
  const ColumnOut& s_out = c.skew ? mine[0] : theirs[0];
  const ColumnOut& k_out = c.skew ? theirs[0] : mine[0];
  run_moment(bars, in, mine, [&](const double* p, std::size_t n, const ColumnOut&) {
    simd::kernels().moments(p, n, window_, skew.coef, kurt.scale, kurt.correction, s_out.values, s_out.valid,
                            k_out.values, k_out.valid);
  });
  settle_nans(bars, mine);
  settle_nans(bars, theirs);
  return true;
}

std::unique_ptr<LaneBlock> MomentFeature::lanes_with(const Feature& later) const {
  const auto* other = dynamic_cast<const MomentFeature*>(&later);
  if (!other || other->window() != window_) return nullptr;
  const Constants mine = constants();
  const Constants theirs = other->constants();
  if (mine.skew == theirs.skew) return nullptr;
  return std::make_unique<MomentPairLanes>(window_, mine.skew ? mine : theirs, mine.skew ? theirs : mine, mine.skew);
}

}  // namespace sarvek
