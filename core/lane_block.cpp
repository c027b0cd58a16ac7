#include "core/lane_block.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace sarvek {

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define SARVEK_WIDEST __attribute__((target_clones("avx512f", "avx2", "default"), optimize("tree-vectorize")))
#else
#define SARVEK_WIDEST
#endif

SARVEK_WIDEST bool lane_push_flags(std::size_t used, std::uint32_t capacity, const std::uint8_t* __restrict active,
                                   const std::uint8_t* __restrict present, std::uint8_t* __restrict fa,
                                   std::size_t stride, std::size_t twin, std::uint32_t* __restrict size,
                                   std::uint32_t* __restrict wait) {
  std::uint32_t held = 0;
  for (std::size_t first = 0; first < used; first += kLaneBlock) {
    std::uint8_t* __restrict a = fa + (first / kLaneBlock) * stride;
    std::uint8_t* __restrict b = a + twin;
    const std::size_t m = std::min(kLaneBlock, used - first);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t i = first + j;
      const std::uint32_t on = active[i] != 0;
      const std::uint32_t p = present[i] != 0;
      const std::uint32_t n = size[i];
      const std::uint32_t w = wait[i];
      held |= (on ^ 1) & (n != 0);
      size[i] = n + (on & (n < capacity));
      wait[i] = on ? (p ? w - (w != 0) : capacity) : w;
      const std::uint8_t f = on ? static_cast<std::uint8_t>(p) : a[j];
      a[j] = f;
      b[j] = f;
    }
  }
  return held != 0;
}

SARVEK_WIDEST void lane_push_values(std::size_t used, const std::uint8_t* __restrict active,
                                    const std::uint8_t* __restrict ok, const double* __restrict x,
                                    double* __restrict va, std::size_t stride, std::size_t twin) {
  for (std::size_t first = 0; first < used; first += kLaneBlock) {
    double* __restrict a = va + (first / kLaneBlock) * stride;
    double* __restrict b = a + twin;
    const std::size_t m = std::min(kLaneBlock, used - first);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t i = first + j;
      const double entry = ok[i] ? x[i] : 0.0;
      const double v = active[i] ? entry : a[j];
      a[j] = v;
      b[j] = v;
    }
  }
}

SARVEK_WIDEST void lane_load(std::size_t m, const double* __restrict column, std::ptrdiff_t step,
                             double* __restrict v, std::uint8_t* __restrict f) {
  for (std::size_t j = 0; j < m; ++j) {
    const double x = column[static_cast<std::ptrdiff_t>(j) * step];
    v[j] = x;
    f[j] = x == x;
  }
}

SARVEK_WIDEST void lane_settle(std::size_t m, const std::uint8_t* __restrict active, double one_nan,
                               double* __restrict v, std::uint8_t* __restrict f) {
  for (std::size_t j = 0; j < m; ++j) {
    f[j] = f[j] & active[j];
    v[j] = v[j] != v[j] ? one_nan : v[j];
  }
}

SARVEK_WIDEST void one_nan_column(std::size_t m, double one_nan, double* __restrict v) {
  for (std::size_t j = 0; j < m; ++j) v[j] = v[j] != v[j] ? one_nan : v[j];
}

SARVEK_WIDEST void store_column(std::size_t m, const double* __restrict v, const std::uint8_t* __restrict ok,
                                double* __restrict out, std::ptrdiff_t step, std::uint8_t* __restrict present,
                                std::ptrdiff_t present_step, bool stream) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Contiguous columns (the usual case) as plain loops, so they vectorise.
  if (step == 1 && stream) {
    simd::kernels().stream_store(m, v, ok, out);
  } else if (step == 1) {
    for (std::size_t j = 0; j < m; ++j) out[j] = ok[j] ? v[j] : nan;
  } else {
    for (std::size_t j = 0; j < m; ++j) out[static_cast<std::ptrdiff_t>(j) * step] = ok[j] ? v[j] : nan;
  }
  if (!present) return;
  if (present_step == 1) {
    for (std::size_t j = 0; j < m; ++j) present[j] = ok[j] != 0;
  } else {
    for (std::size_t j = 0; j < m; ++j) present[static_cast<std::ptrdiff_t>(j) * present_step] = ok[j] != 0;
  }
}

SARVEK_WIDEST void lane_unload(std::size_t m, std::size_t width, std::size_t room, const double* __restrict values,
                               const std::uint8_t* __restrict valid, double* __restrict out) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Column by column over a run of lanes whose rows stay in the first-level
  // cache, so reads are contiguous and each row is written while cached.
  constexpr std::size_t run = 64;
  for (std::size_t first = 0; first < m; first += run) {
    const std::size_t last = std::min(m, first + run);
    for (std::size_t k = 0; k < width; ++k) {
      const double* __restrict v = values + k * room;
      const std::uint8_t* __restrict f = valid + k * room;
      for (std::size_t i = first; i < last; ++i) out[i * width + k] = f[i] ? v[i] : nan;
    }
  }
}

SARVEK_WIDEST void lane_complete_flags(std::size_t m, const std::uint32_t* __restrict wait,
                                       std::uint8_t* __restrict flags) {
  for (std::size_t j = 0; j < m; ++j) flags[j] = wait[j] == 0;
}

void LaneBlock::adopt(std::size_t lane, std::unique_ptr<Feature> feature, std::size_t part) {
  const std::string error = StateIO::transfer([&](StateIO& io) { feature->state(io); },
                                              [&](StateIO& io) { part_state(lane, io, part); });
  // Cannot happen: a type with a lane block lists its state, and the lane
  // reads the layout its feature writes.
  if (!error.empty()) throw std::logic_error("a lane could not take its feature's state: " + error);
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
