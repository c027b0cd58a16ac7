#pragma once

// Results handed back as Python lists of floats: rows of a row-major table,
// or whole columns of values.

#include <Python.h>

#include <cstddef>
#include <vector>

#include "core/value.h"

namespace sarvek::py {

// A list of `bars` lists of `width` floats from a row-major table. Signals
// are checked every 65536 values.
PyObject* new_row_lists(const double* values, std::size_t bars, std::size_t width);

// A list of lists of floats, one per column, missing as NaN. Signals are
// checked every 65536 values.
PyObject* new_column_lists(const std::vector<Column>& columns);

}  // namespace sarvek::py
