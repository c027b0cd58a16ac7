#include "core/features/moment_window.h"

#include <algorithm>
#include <string>

#include "core/lane_block.h"

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

std::unique_ptr<LaneBlock> MomentFeature::lanes_with(const Feature& later) const {
  const auto* other = dynamic_cast<const MomentFeature*>(&later);
  if (!other || other->window() != window_) return nullptr;
  const Constants mine = constants();
  const Constants theirs = other->constants();
  if (mine.skew == theirs.skew) return nullptr;
  return std::make_unique<MomentPairLanes>(window_, mine.skew ? mine : theirs, mine.skew ? theirs : mine, mine.skew);
}

}  // namespace sarvek
