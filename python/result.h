#pragma once

// The private _Result type: a (bars, width) table of float64 values (or of
// presence flags) owned by a Python object and handed out through the
// buffer protocol, and the column runs that fill one.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/pipeline/strided.h"
#include "python/buffers.h"

namespace sarvek::py {

// How a result table lies in memory: row after row (C order) or column after
// column (Fortran order, each output one contiguous run of bars).
enum class Order { rows, columns };

// `order` as a column run's keyword takes it: absent (null) or "C" is rows,
// "F" is columns; false with ValueError naming the value otherwise.
bool to_order(PyObject* obj, Order& order);

// Creates the _Result type of `module`; null with an exception set.
PyTypeObject* result_class(PyObject* module);

// A new _Result, of the module that defined `owner`'s type, owning an
// uninitialised (bars, width) table of doubles laid out in `order`; `*data`
// points to it. MemoryError, naming the shape, when it cannot be allocated.
PyObject* new_result(PyObject* owner, std::size_t bars, std::size_t width, double** data,
                     Order order = Order::rows);

// The same for a table of presence flags, one byte per entry (exported with
// format '?', 1 where a result is present).
PyObject* new_flags(PyObject* owner, std::size_t bars, std::size_t width, std::uint8_t** data,
                    Order order = Order::rows);

// `width` strided outputs into a row-major table, each marking presence in
// the row-major table `present` when it is given.
std::vector<StridedOutput> row_outputs(double* data, std::size_t width, std::uint8_t* present = nullptr);

// What a column run is asked to give back: presence flags beside the
// values, the order of both tables, and a caller's table to write the values
// into (null: a new one).
struct ResultRequest {
  bool validity = false;
  Order order = Order::rows;
  PyObject* out = nullptr;
};

// The keywords `validity`, `order` and `out` (any of them null when not
// given; out=None is no table) read into `request`; false with the exception
// set when one is refused.
bool to_request(PyObject* validity, PyObject* order, PyObject* out, ResultRequest& request);

// A column run's result for `owner` over the input `in`: (in.bars, width)
// values, in request.out when given (checked first: a writable float64
// buffer of that shape, contiguous in the order asked, sharing no memory
// with the input; refused before anything runs otherwise) or else a new
// _Result, and with validity a new _Result of presence flags in the same
// order, handed to `run` as strided outputs. Returns the values (request.out
// itself when given), or with validity the tuple (values, present); null
// with an exception set when the room cannot be had or `run` returns false
// (its exception set).
PyObject* run_result(PyObject* owner, const ColumnInput& in, std::size_t width, const ResultRequest& request,
                     const std::function<bool(std::span<const StridedOutput>)>& run);

// The keywords `threads` (a whole number of at least 1; absent: 1) and
// `piece_bars` (a count; absent: 0) of a column run, either null when not
// given: false with the exception set when one is refused.
bool to_threads(PyObject* threads, PyObject* piece_bars, RunThreads& out);

}  // namespace sarvek::py
