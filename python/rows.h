#pragma once

// Data given as a sequence of rows of floats, converted once into a
// row-major table of doubles.

#include <Python.h>

#include <cstddef>
#include <limits>
#include <vector>

namespace sarvek::py {

// A row-major table of doubles, `width` per bar, converted from a sequence
// of rows of floats (NaN and conversion as for any list of floats). Values
// beyond `width` in a row are converted (so a bad one is still refused) and
// dropped; the first row shorter than `width` is remembered.
struct RowTable {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t width = 0;
  std::size_t bars = 0;
  std::vector<double> values;
  std::size_t short_bar = kNone;
  std::size_t short_length = 0;
};
// Conversion errors are TypeError prefixed with the argument name, as for
// every list argument. Signals are checked every 65536 values.
bool to_row_table(PyObject* data, const char* param, std::size_t width, RowTable& out);

}  // namespace sarvek::py
