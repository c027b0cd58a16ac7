#include "core/features/moment_window.h"

namespace sarvek {

MomentFeature::MomentFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

const double* MomentFeature::stage(std::size_t bars, std::span<const ColumnIn> in, std::span<const ColumnOut> out) {
  stage_column(buffer_, bars, in[0]);
  complete_windows(buffer_.staged_valid(), bars, window_, out[0].valid);
  return buffer_.staged();
}

void MomentFeature::finish(std::size_t bars, std::span<const ColumnOut> out) {
  buffer_.commit(bars);
  fill_missing(out.subspan(1), bars);
}

}  // namespace sarvek
