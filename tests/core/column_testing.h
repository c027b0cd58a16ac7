#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "core/value.h"

namespace sarvek::testing {

inline constexpr Value M = kMissing;

// Same length, missing exactly where expected, numbers within `tol`
// (0 asks for bit-equal values).
inline void expect_column(const Column& actual, const Column& expected, double tol = 0.0,
                          const std::string& what = "") {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(actual[i].has_value(), expected[i].has_value()) << what << " entry " << i;
    if (!expected[i]) continue;
    if (tol == 0.0)
      EXPECT_EQ(*actual[i], *expected[i]) << what << " entry " << i;
    else
      EXPECT_NEAR(*actual[i], *expected[i], tol) << what << " entry " << i;
  }
}

inline std::vector<std::span<const Value>> spans(const std::vector<Column>& cols) {
  return {cols.begin(), cols.end()};
}

}  // namespace sarvek::testing
