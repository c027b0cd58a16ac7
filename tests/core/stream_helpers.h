#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/feature.h"

namespace sarvek::testing {

// Feeds one single-value bar per entry and collects the first output.
inline std::vector<Value> run(Feature& f, std::initializer_list<Value> inputs) {
  std::vector<Value> out;
  for (const Value& v : inputs) {
    const Value bar[] = {v};
    auto r = f.update(bar);
    EXPECT_TRUE(r.has_value());
    out.push_back(r ? (*r)[0] : kMissing);
  }
  return out;
}

// One multi-value bar; the bar must be long enough.
inline Value step(Feature& f, std::initializer_list<Value> bar) {
  auto r = f.update(std::span<const Value>(bar.begin(), bar.size()));
  EXPECT_TRUE(r.has_value());
  if (!r) return kMissing;
  EXPECT_EQ(r->size(), 1u);
  return (*r)[0];
}

inline std::string message_of(const CoreError& e) {
  return e.is<CoreError::InvalidInput>() ? e.as<CoreError::InvalidInput>().msg : e.message();
}

// Bitwise equality of values, treating two NaNs with the same bits as equal.
inline bool same(const Value& a, const Value& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

}  // namespace sarvek::testing
