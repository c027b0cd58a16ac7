#include "core/lane_block.h"

#include <limits>
#include <stdexcept>

namespace sarvek {

void LaneBlock::adopt(std::size_t lane, std::unique_ptr<Feature> feature) {
  std::string bytes;
  StateIO out = StateIO::writer(bytes);
  feature->state(out);
  StateIO in = StateIO::reader({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  if (!out.failed()) state(lane, in);
  // Cannot happen: a type with a lane block lists its state, and the lane
  // reads the layout its feature writes.
  if (out.failed() || in.failed() || in.remaining() != 0)
    throw std::logic_error("a lane could not take its feature's state: " + out.error() + in.error());
}

void FeatureLanes::update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
                          std::span<const LaneOut> out) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < used; ++i) {
    if (!active[i]) continue;
    gather_.clear();
    for (const LaneIn& c : in) gather_.push_back(c.valid[i] ? Value(c.values[i]) : kMissing);
    const Result<Values> got = features_[i]->update(gather_);
    // Cannot fail: the pipeline hands every feature the values it reads.
    if (!got) throw std::logic_error("a feature refused a bar sized for it: " + got.error().message());
    for (std::size_t k = 0; k < out.size(); ++k) {
      const bool has = k < got->size() && (*got)[k].has_value();
      out[k].valid[i] = has;
      out[k].values[i] = has ? *(*got)[k] : nan;
    }
  }
}

}  // namespace sarvek
