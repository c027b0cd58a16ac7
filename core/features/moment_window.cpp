#include "core/features/moment_window.h"

#include <string>

#include "core/lane_block.h"

namespace sarvek {

MomentFeature::MomentFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

namespace {

// A Skewness and a Kurtosis over the same column and window: each keeps its
// own window (so each lane's state is its feature's), the windows always
// equal, and one kernel pass over the first gives both results.
class MomentPairLanes final : public LaneBlock {
 public:
  MomentPairLanes(std::size_t window, MomentFeature::Constants skew, MomentFeature::Constants kurt, bool skew_first)
      : window_(window), skew_(skew), kurt_(kurt), skew_first_(skew_first), rings_{LaneRing<1>(window), LaneRing<1>(window)} {}

  void reserve(std::size_t lanes) override {
    for (auto& r : rings_) r.reserve(lanes);
    room_ = std::max(room_, lanes);
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    for (std::size_t k = 0; k < 2; ++k) {
      rings_[k].push({in[0].values}, {in[0].valid}, in[0].valid, active, used);
      rings_[k].complete_flags(out[k].valid, used, room_);
    }
    const LaneOut& s = out[skew_first_ ? 0 : 1];
    const LaneOut& k = out[skew_first_ ? 1 : 0];
    simd::kernels().lanes_moments(rings_[0].rows(), room_ / kLaneBlock, rings_[0].block_stride(), window_, skew_.coef,
                                  kurt_.scale, kurt_.correction, s.values, s.valid, k.values, k.valid);
  }
  void remove(std::size_t lane, std::size_t used) override {
    for (auto& r : rings_) r.remove(lane, used);
  }
  void clear(std::size_t lane) override {
    for (auto& r : rings_) r.clear(lane);
  }
  void state(std::size_t lane, StateIO& io) override { rings_[0].state(lane, io); }
  void part_state(std::size_t lane, StateIO& io, std::size_t part) override {
    rings_[part].state(lane, io);
    if (!io.loading() || io.failed() || part == 0) return;
    // Both features always saw the same values; a state where their
    // windows differ was not written by them.
    std::string first;
    std::string second;
    StateIO a = StateIO::writer(first);
    StateIO b = StateIO::writer(second);
    rings_[0].state(lane, a);
    rings_[1].state(lane, b);
    if (first != second) io.fail("a Skewness and a Kurtosis over one column hold different windows");
  }

 private:
  std::size_t window_;
  MomentFeature::Constants skew_;
  MomentFeature::Constants kurt_;
  bool skew_first_;
  std::array<LaneRing<1>, 2> rings_;
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
