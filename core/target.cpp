#include "core/target.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace sarvek {
namespace {

// Engine columns holding copies of value columns.
struct Converted {
  std::vector<std::vector<double>> values;
  std::vector<std::vector<std::uint8_t>> valid;
  std::vector<ColumnIn> in;

  Converted(std::span<const std::span<const Value>> columns, std::size_t count, std::size_t n)
      : values(count, std::vector<double>(n, 0.0)), valid(count, std::vector<std::uint8_t>(n, 0)) {
    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t have = std::min(n, columns[j].size());
      for (std::size_t i = 0; i < have; ++i) {
        valid[j][i] = columns[j][i].has_value();
        values[j][i] = columns[j][i].value_or(0.0);
      }
      in.push_back({values[j].data(), valid[j].data()});
    }
  }
};

}  // namespace

Result<std::size_t> Target::label_columns(std::size_t n, std::span<const ColumnIn> in, std::size_t labels,
                                          std::span<const ColumnOut> out) const {
  std::vector<Column> cols(in.size(), Column(n));
  std::vector<std::span<const Value>> spans;
  for (std::size_t j = 0; j < in.size(); ++j) {
    for (std::size_t i = 0; i < n; ++i) cols[j][i] = in[j].valid[i] ? Value(in[j].values[i]) : kMissing;
    spans.push_back(cols[j]);
  }
  auto computed = compute(spans);
  if (!computed) return std::unexpected(std::move(computed.error()));
  for (std::size_t k = 0; k < std::min(computed->size(), out.size()); ++k) {
    const Column& c = (*computed)[k];
    for (std::size_t i = 0; i < labels; ++i) {
      const bool present = i < c.size() && c[i].has_value();
      out[k].valid[i] = present;
      out[k].values[i] = present ? *c[i] : std::numeric_limits<double>::quiet_NaN();
    }
  }
  return computed->size();
}

Result<std::vector<Column>> compute_through_columns(const Target& target, std::size_t n,
                                                    std::span<const std::span<const Value>> columns,
                                                    std::size_t reads, std::size_t produced) {
  const Converted in(columns, reads, n);
  std::vector<std::vector<double>> values(produced, std::vector<double>(n));
  std::vector<std::vector<std::uint8_t>> valid(produced, std::vector<std::uint8_t>(n));
  std::vector<ColumnOut> out;
  for (std::size_t k = 0; k < produced; ++k) out.push_back({values[k].data(), valid[k].data()});
  auto done = target.label_columns(n, in.in, n, out);
  if (!done) return std::unexpected(std::move(done.error()));
  std::vector<Column> result(produced, Column(n));
  for (std::size_t k = 0; k < produced; ++k)
    for (std::size_t i = 0; i < n; ++i) result[k][i] = valid[k][i] ? Value(values[k][i]) : kMissing;
  return result;
}

}  // namespace sarvek
