#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sarvek {

// A value is a number or missing. Missing is a state of its own: a NaN that
// arrives inside the core is a number like any other and runs through the
// arithmetic; only the Python layer maps NaN to missing and back.
using Value = std::optional<double>;

// One value per bar, index 0 the oldest bar.
using Column = std::vector<Value>;

// Column names in the caller's order, compared byte for byte.
using Names = std::vector<std::string>;

inline constexpr Value kMissing = std::nullopt;

}  // namespace sarvek
