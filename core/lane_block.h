#pragma once

// One feature's state for many symbols at once, symbol i in lane i, so
// that one call moves every symbol by one bar with the window arithmetic
// running across symbols (core/simd/kernels.h, symbol lanes). Every lane
// performs exactly the operations of its own feature's update(), so a lane
// gives the same bits as a pipeline of its own; and each lane's state is
// saved and restored in its feature's own layout (Feature::state), so a
// lane and a feature can hand their state to each other.
//
// Lane columns hold room for a whole number of blocks of kLaneBlock lanes;
// the lanes beyond the used ones are computed along (their results are
// ignored) so that the kernels see whole blocks.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "core/feature.h"
#include "core/lanes.h"
#include "core/simd/kernels.h"
#include "core/state_io.h"
#include "core/window.h"

namespace sarvek {

using simd::kLaneBlock;

// Column j of a bar for every lane: values[i], present where valid[i] != 0
// (the value of a missing entry is anything).
struct LaneIn {
  const double* values;
  const std::uint8_t* valid;
};
struct LaneOut {
  double* values;
  std::uint8_t* valid;
};

class LaneBlock {
 public:
  virtual ~LaneBlock() = default;

  // Room for `lanes` lanes (a multiple of kLaneBlock); lanes not in use are
  // fresh. May throw std::bad_alloc; then the used lanes are as they were.
  virtual void reserve(std::size_t lanes) = 0;
  // One bar for the lanes [0, used): in[j] is the feature's input j for
  // every lane, as update() would get it. A lane with active[i] == 0 keeps
  // its state exactly; out[k] receives output k of every reserved lane
  // (ignored for inactive and unused lanes). Allocates nothing.
  virtual void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
                      std::span<const LaneOut> out) = 0;
  // Lanes lane + 1 .. used - 1 move down by one; lane used - 1 becomes
  // fresh.
  virtual void remove(std::size_t lane, std::size_t used) = 0;
  // Lane `lane` becomes fresh.
  virtual void clear(std::size_t lane) = 0;
  // Saves or restores one lane's state, in the layout of its feature's
  // state(). A failed restore may leave the lane partly restored: callers
  // restore into a fresh block.
  virtual void state(std::size_t lane, StateIO& io) = 0;
  // Lane `lane` takes the state of `feature` (of this block's type and
  // configuration), which may be consumed. By default through the state's
  // bytes.
  virtual void adopt(std::size_t lane, std::unique_ptr<Feature> feature, std::size_t part = 0);

  // A block may run several features of a plan together (Feature::
  // lanes_with): its outputs are theirs in turn, and part k's state is
  // feature k's.
  virtual void part_state(std::size_t lane, StateIO& io, std::size_t part) {
    (void)part;
    state(lane, io);
  }
};

// The path every feature type has: one feature per lane, each driven by
// its own update().
class FeatureLanes final : public LaneBlock {
 public:
  explicit FeatureLanes(const Feature& prototype) : prototype_(prototype.fresh()) {}

  void reserve(std::size_t lanes) override {
    gather_.reserve(prototype_->values_read() + 8);
    while (features_.size() < lanes) features_.push_back(prototype_->fresh());
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override;
  void remove(std::size_t lane, std::size_t used) override {
    std::rotate(features_.begin() + static_cast<std::ptrdiff_t>(lane),
                features_.begin() + static_cast<std::ptrdiff_t>(lane) + 1,
                features_.begin() + static_cast<std::ptrdiff_t>(used));
    features_[used - 1]->reset();
  }
  void clear(std::size_t lane) override { features_[lane]->reset(); }
  void state(std::size_t lane, StateIO& io) override { features_[lane]->state(io); }
  void adopt(std::size_t lane, std::unique_ptr<Feature> feature, std::size_t) override {
    features_[lane] = std::move(feature);
  }

 private:
  std::unique_ptr<Feature> prototype_;
  std::vector<std::unique_ptr<Feature>> features_;
  std::vector<Value> gather_;
};

// The bookkeeping loops of LaneRing over m lanes, built for the widest
// instruction set the CPU has (they move bits and counts, no arithmetic on
// values, so every build gives the same state).
//
// Flags of one row pair and the lanes' counts: an active lane's entry
// present[j] goes in (fa and fb, its twin), its size grows up to the
// capacity and its wait (pushes until the window is full with no missing
// entry) counts down, or restarts at the capacity for a missing entry; an
// inactive lane writes its own oldest flag back. True when an inactive
// lane holds entries (it must be moved along).
//
// Over `used` lanes in blocks of kLaneBlock: block b's row pair is at
// fa + b * stride and fa + b * stride + twin.
bool lane_push_flags(std::size_t used, std::uint32_t capacity, const std::uint8_t* active,
                     const std::uint8_t* present, std::uint8_t* fa, std::size_t stride, std::size_t twin,
                     std::uint32_t* size, std::uint32_t* wait);
// Numbers of one row pair: x[j] where ok[j] (0.0 otherwise) for an active
// lane, its own oldest number for an inactive one.
void lane_push_values(std::size_t used, const std::uint8_t* active, const std::uint8_t* ok, const double* x,
                      double* va, std::size_t stride, std::size_t twin);
// The lanes' values of a strided column: v[j] = column[j * step], present
// where it is not NaN.
void lane_load(std::size_t m, const double* column, std::ptrdiff_t step, double* v, std::uint8_t* f);
// A block's outputs as their readers see them: missing for inactive lanes,
// every NaN as `one_nan`.
void lane_settle(std::size_t m, const std::uint8_t* active, double one_nan, double* v, std::uint8_t* f);
// v[j] = one_nan for every NaN among m values (the one NaN features give).
void one_nan_column(std::size_t m, double one_nan, double* v);
// The column engine's results of `m` bars: out[j * step] = v[j] where
// ok[j], else NaN; present[j * present_step] = ok[j] when present is given.
// With `stream`, a contiguous column is written past the caches
// (simd::Kernels::stream_store).
void store_column(std::size_t m, const double* v, const std::uint8_t* ok, double* out, std::ptrdiff_t step,
                  std::uint8_t* present, std::ptrdiff_t present_step, bool stream = false);
// The output rows of `m` lanes: out[i * width + k] is column k's value of
// lane i (column k at values + k * room, its flags at valid + k * room), or
// NaN where it has none.
void lane_unload(std::size_t m, std::size_t width, std::size_t room, const double* values, const std::uint8_t* valid,
                 double* out);
// flags[i] = the lane's window is full and holds no missing entry.
void lane_complete_flags(std::size_t m, const std::uint32_t* wait, std::uint8_t* flags);

// The last `capacity` entries of every lane's stream, each entry M numbers
// sharing one present flag: Window<M> for many lanes. All lanes share one
// head, so entry k (oldest first) of every lane of a block sits in one row:
// rows(c) + b * block_stride() + k * kLaneBlock + j for lane b * kLaneBlock
// + j. As in Window, every entry is written twice, one capacity apart, so
// a window is always a plain run of rows. A lane that skips a bar has its
// entries moved along by one row, so its window stays in place.
template <std::size_t M = 1>
class LaneRing {
 public:
  // Counts are 32-bit: a larger window is refused as too large to hold.
  explicit LaneRing(std::size_t capacity) : cap_(capacity) {
    if (capacity >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  }

  std::size_t capacity() const { return cap_; }
  std::size_t block_stride() const { return 2 * cap_ * kLaneBlock; }
  // Row 0 (each lane's oldest entry) of block 0, number c.
  const double* rows(std::size_t c = 0) const { return values_[c].data() + head_ * kLaneBlock; }
  const std::uint8_t* flag_rows() const { return flags_.data() + head_ * kLaneBlock; }
  // Entry k (oldest first) of a lane.
  double entry(std::size_t c, std::size_t lane, std::size_t k) const { return values_[c][at(lane, head_ + k)]; }
  bool full(std::size_t lane) const { return size_[lane] == cap_; }
  bool complete(std::size_t lane) const { return wait_[lane] == 0; }
  // A lane's entries as one run: lanes::Rows for lane-by-lane formulas.
  lanes::Rows lane_rows(std::size_t c, std::size_t lane) const {
    return {values_[c].data() + at(lane, head_), kLaneBlock};
  }

  void reserve(std::size_t lanes) {
    if (lanes <= size_.size()) return;
    const std::size_t blocks = lanes / kLaneBlock;
    for (auto& v : values_) v.resize(blocks * block_stride(), 0.0);
    flags_.resize(blocks * block_stride(), 0);
    size_.resize(lanes, 0);
    wait_.resize(lanes, static_cast<std::uint32_t>(cap_));
  }

  void clear(std::size_t lane) {
    size_[lane] = 0;
    wait_[lane] = static_cast<std::uint32_t>(cap_);
    for (std::size_t r = 0; r < 2 * cap_; ++r) {
      for (auto& v : values_) v[at(lane, r)] = 0.0;
      flags_[at(lane, r)] = 0;
    }
  }

  // Appends one entry to every lane [0, used) with active[i] != 0: number c
  // is values[c][i] where valid[c][i] != 0 and 0.0 otherwise (as Window's
  // callers store them), the entry present where present[i] != 0. The
  // other lanes keep their entries.
  void push(const std::array<const double*, M>& values, const std::array<const std::uint8_t*, M>& valid,
            const std::uint8_t* present, const std::uint8_t* active, std::size_t used) {
    const std::size_t slot = head_;
    head_ = head_ + 1 == cap_ ? 0 : head_ + 1;
    // Branch-free over every lane: an inactive lane writes its own oldest
    // entry back (its twin already holds it) and is moved along below.
    const std::size_t row = slot * kLaneBlock;
    const std::size_t twin = cap_ * kLaneBlock;
    const bool any_held = lane_push_flags(used, static_cast<std::uint32_t>(cap_), active, present, flags_.data() + row,
                                          block_stride(), twin, size_.data(), wait_.data());
    for (std::size_t c = 0; c < M; ++c)
      lane_push_values(used, active, valid[c], values[c], values_[c].data() + row, block_stride(), twin);
    if (!any_held) return;
    for (std::size_t i = 0; i < used; ++i)
      if (!active[i] && size_[i]) hold(i, slot);
  }

  // flags[i] = complete(i) for the lanes [0, used), 0 beyond up to `lanes`.
  void complete_flags(std::uint8_t* __restrict flags, std::size_t used, std::size_t lanes) const {
    lane_complete_flags(used, wait_.data(), flags);
    std::fill(flags + used, flags + lanes, std::uint8_t{0});
  }

  void remove(std::size_t lane, std::size_t used) {
    for (std::size_t i = lane; i + 1 < used; ++i) {
      for (std::size_t r = 0; r < 2 * cap_; ++r) {
        for (auto& v : values_) v[at(i, r)] = v[at(i + 1, r)];
        flags_[at(i, r)] = flags_[at(i + 1, r)];
      }
      size_[i] = size_[i + 1];
      wait_[i] = wait_[i + 1];
    }
    clear(used - 1);
  }

  // One lane's entries in Window<M>'s saved layout.
  void state(std::size_t lane, StateIO& io) {
    Window<M> w(cap_);
    if (!io.loading()) {
      const std::size_t count = size_[lane];
      std::array<std::vector<double>, M> held;
      const double* src[M];
      std::vector<std::uint8_t> flags(count);
      for (std::size_t k = 0; k < count; ++k) flags[k] = flags_[at(lane, head_ + cap_ - count + k)];
      for (std::size_t c = 0; c < M; ++c) {
        held[c].resize(count);
        for (std::size_t k = 0; k < count; ++k) held[c][k] = values_[c][at(lane, head_ + cap_ - count + k)];
        src[c] = held[c].data();
      }
      w.assign(count, src, flags.data());
      io(w);
      return;
    }
    io(w);
    if (io.failed()) return;
    clear(lane);
    const std::size_t count = w.size();
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t r = (head_ + cap_ - count + k) % cap_;
      for (std::size_t c = 0; c < M; ++c) values_[c][at(lane, r)] = values_[c][at(lane, r + cap_)] = w.values(c)[k];
      flags_[at(lane, r)] = flags_[at(lane, r + cap_)] = w.valid()[k];
    }
    size_[lane] = static_cast<std::uint32_t>(count);
    // Pushes until full, or until the newest missing entry has left.
    std::size_t wait = cap_ - count;
    for (std::size_t k = 0; k < count; ++k)
      if (!w.valid()[k]) wait = std::max(wait, cap_ - count + k + 1);
    wait_[lane] = static_cast<std::uint32_t>(wait);
  }

 private:
  // Position of row r (< 2 capacity) of a lane.
  std::size_t at(std::size_t lane, std::size_t r) const {
    return (lane / kLaneBlock) * block_stride() + r * kLaneBlock + lane % kLaneBlock;
  }

  // After the head moved past `slot`, moves a lane's entries along by one
  // row so that its window is what it was: rows slot .. slot + capacity - 1
  // become slot + 1 .. slot + capacity, then each moved row's twin is
  // rewritten.
  void hold(std::size_t lane, std::size_t slot) {
    for (std::size_t k = cap_; k-- > 0;) {
      for (auto& v : values_) v[at(lane, slot + 1 + k)] = v[at(lane, slot + k)];
      flags_[at(lane, slot + 1 + k)] = flags_[at(lane, slot + k)];
    }
    for (std::size_t r = slot + 1; r <= slot + cap_; ++r) {
      const std::size_t twin = r < cap_ ? r + cap_ : r - cap_;
      for (auto& v : values_) v[at(lane, twin)] = v[at(lane, r)];
      flags_[at(lane, twin)] = flags_[at(lane, r)];
    }
  }

  std::size_t cap_;
  std::size_t head_ = 0;
  std::array<std::vector<double>, M> values_;
  std::vector<std::uint8_t> flags_;
  std::vector<std::uint32_t> size_;  // entries held, up to the capacity
  std::vector<std::uint32_t> wait_;  // pushes until complete (0: complete)
};

// A present-or-missing number per lane (a feature's Value member).
class LaneValues {
 public:
  void reserve(std::size_t lanes) {
    value_.resize(std::max(value_.size(), lanes), 0.0);
    has_.resize(std::max(has_.size(), lanes), 0);
  }
  bool has(std::size_t i) const { return has_[i] != 0; }
  double value(std::size_t i) const { return value_[i]; }
  void set(std::size_t i, double v) {
    value_[i] = v;
    has_[i] = 1;
  }
  void drop(std::size_t i) {
    value_[i] = 0.0;
    has_[i] = 0;
  }
  void remove(std::size_t lane, std::size_t used) {
    std::copy(value_.begin() + static_cast<std::ptrdiff_t>(lane) + 1, value_.begin() + static_cast<std::ptrdiff_t>(used),
              value_.begin() + static_cast<std::ptrdiff_t>(lane));
    std::copy(has_.begin() + static_cast<std::ptrdiff_t>(lane) + 1, has_.begin() + static_cast<std::ptrdiff_t>(used),
              has_.begin() + static_cast<std::ptrdiff_t>(lane));
    drop(used - 1);
  }
  // In Value's saved layout.
  void state(std::size_t i, StateIO& io) {
    Value v = has(i) ? Value(value_[i]) : kMissing;
    io(v);
    if (!io.loading() || io.failed()) return;
    if (v) {
      set(i, *v);
    } else {
      drop(i);
    }
  }

 private:
  std::vector<double> value_;
  std::vector<std::uint8_t> has_;
};

// The block of a feature whose whole state is one LaneRing<M>: the type
// gives update().
template <std::size_t M>
class RingLanes : public LaneBlock {
 public:
  explicit RingLanes(std::size_t capacity) : ring_(capacity) {}
  void reserve(std::size_t lanes) override {
    ring_.reserve(lanes);
    flags_.resize(std::max(flags_.size(), lanes), 0);
  }
  void remove(std::size_t lane, std::size_t used) override { ring_.remove(lane, used); }
  void clear(std::size_t lane) override { ring_.clear(lane); }
  void state(std::size_t lane, StateIO& io) override { ring_.state(lane, io); }

 protected:
  std::size_t blocks() const { return flags_.size() / kLaneBlock; }
  // Pushes input 0 (valid where present) for the active lanes.
  void push_first(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active)
    requires(M == 1)
  {
    ring_.push({in[0].values}, {in[0].valid}, in[0].valid, active, used);
  }
  // Each reserved lane's out.valid: the ring complete.
  void mark_complete(std::size_t used, const LaneOut& out) const { ring_.complete_flags(out.valid, used, flags_.size()); }

  LaneRing<M> ring_;
  std::vector<std::uint8_t> flags_;  // room: one per reserved lane
};

// The block of a recursion: each lane's average (a Value of the feature)
// beside a window (Kama's last prices, Ema's seed collection), saved in that
// order, as those features save theirs. The type gives update().
class RecursionLanes : public RingLanes<1> {
 public:
  explicit RecursionLanes(std::size_t capacity) : RingLanes<1>(capacity) {}
  void reserve(std::size_t lanes) override {
    RingLanes<1>::reserve(lanes);
    current_.reserve(lanes);
  }
  void remove(std::size_t lane, std::size_t used) override {
    RingLanes<1>::remove(lane, used);
    current_.remove(lane, used);
  }
  void clear(std::size_t lane) override {
    RingLanes<1>::clear(lane);
    current_.drop(lane);
  }
  void state(std::size_t lane, StateIO& io) override {
    current_.state(lane, io);
    ring_.state(lane, io);
  }

 protected:
  LaneValues current_;
};

// A feature whose output is a formula of its complete window of input 0:
// `kernel(rows, blocks, block_stride, out)` writes every lane's value,
// clearing out.valid where the formula gives none.
template <class Kernel>
class WindowLanes final : public RingLanes<1> {
 public:
  WindowLanes(std::size_t window, Kernel kernel) : RingLanes<1>(window), kernel_(std::move(kernel)) {}
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    push_first(used, in, active);
    mark_complete(used, out[0]);
    kernel_(ring_.rows(), blocks(), ring_.block_stride(), out[0]);
  }

 private:
  Kernel kernel_;
};

// The same over a term made of each bar's inputs: `term(in, used, terms,
// ok)` writes lane i's term to terms[i] with ok[i] = 1, or ok[i] = 0 for
// none, exactly as the feature's update() makes it.
template <class Term, class Kernel>
class TermLanes final : public RingLanes<1> {
 public:
  TermLanes(std::size_t window, Term term, Kernel kernel)
      : RingLanes<1>(window), term_(std::move(term)), kernel_(std::move(kernel)) {}
  void reserve(std::size_t lanes) override {
    RingLanes<1>::reserve(lanes);
    terms_.resize(std::max(terms_.size(), lanes), 0.0);
    ok_.resize(std::max(ok_.size(), lanes), 0);
  }
  void update(std::size_t used, std::span<const LaneIn> in, const std::uint8_t* active,
              std::span<const LaneOut> out) override {
    term_(in, used, terms_.data(), ok_.data());
    ring_.push({terms_.data()}, {ok_.data()}, ok_.data(), active, used);
    mark_complete(used, out[0]);
    kernel_(ring_.rows(), blocks(), ring_.block_stride(), out[0]);
  }

 private:
  Term term_;
  Kernel kernel_;
  std::vector<double> terms_;
  std::vector<std::uint8_t> ok_;
};

template <class Term, class Kernel>
std::unique_ptr<LaneBlock> term_lanes(std::size_t window, Term term, Kernel kernel) {
  return std::make_unique<TermLanes<Term, Kernel>>(window, std::move(term), std::move(kernel));
}

template <class Kernel>
std::unique_ptr<LaneBlock> window_lanes(std::size_t window, Kernel kernel) {
  return std::make_unique<WindowLanes<Kernel>>(window, std::move(kernel));
}

}  // namespace sarvek
