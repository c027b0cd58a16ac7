#pragma once

// Input columns read from the caller's float64 buffers (one 2-D table, or
// one 1-D buffer per column) as strided columns, read in place whenever the
// layout allows; the views are held for as long as the columns are used.

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "core/pipeline/strided.h"

namespace sarvek::py {

// A buffer view held for as long as this object lives, so the exporter
// cannot resize or free the memory behind it meanwhile.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer();
  // False with an exception set when `obj` exports no buffer (or not with
  // strides and format). An exporter may leave the strides out of a
  // C-contiguous view; they are then filled in here, so view().strides is
  // always set.
  bool get(PyObject* obj, int flags = PyBUF_RECORDS_RO);
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool own_strides_ = false;
  Py_ssize_t strides_[PyBUF_MAX_NDIM] = {};
};

// Whether a view holds float64 numbers in this machine's byte order.
bool is_float64(const Py_buffer& v);

// Input columns read from buffers: `columns[j]` is input column j, `bars`
// values each, NaN marking a missing value. The views stay held until this
// object is destroyed.
struct ColumnInput {
  std::deque<HeldBuffer> held;
  std::vector<StridedColumn> columns;
  std::size_t bars = 0;
  // A copy of a table whose values cannot be read in place.
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<double[], Free> copy;
};

// `data` is one 2-D float64 buffer of shape (bars, width), in any order
// whose strides are whole multiples of 8 bytes, or a list or tuple of
// `width` 1-D float64 buffers of equal length. Refuses anything else with
// TypeError (not a buffer, not float64) or ValueError (dimensions, shape,
// column count, lengths, alignment), naming what was expected and got.
bool read_columns(PyObject* data, std::size_t width, ColumnInput& out);

// For a call that also takes lists of rows: when `data` (not a list or
// tuple) exports a 2-D float64 buffer, reads all its columns into `out` and
// returns 1 (in place, or from a row-major copy when its strides or start
// do not allow reading doubles in place); returns 0, with nothing set, for
// anything else; -1 with MemoryError, naming the shape, when the copy
// cannot be made.
int read_table(PyObject* data, ColumnInput& out);

}  // namespace sarvek::py
