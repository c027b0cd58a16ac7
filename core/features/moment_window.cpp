#include "core/features/moment_window.h"

namespace sarvek {

MomentFeature::MomentFeature(Names inputs, std::size_t window, Names outputs)
    : ConfiguredFeature(std::move(inputs), window, std::move(outputs)), buffer_(window) {}

}  // namespace sarvek
