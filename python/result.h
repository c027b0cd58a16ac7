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

namespace sarvek::py {

// Creates the _Result type of `module`; null with an exception set.
PyTypeObject* result_class(PyObject* module);

// A new _Result, of the module that defined `owner`'s type, owning an
// uninitialised C-contiguous (bars, width) table of doubles; `*data` points
// to it. MemoryError, naming the shape, when it cannot be allocated.
PyObject* new_result(PyObject* owner, std::size_t bars, std::size_t width, double** data);

// The same for a table of presence flags, one byte per entry (exported with
// format '?', 1 where a result is present).
PyObject* new_flags(PyObject* owner, std::size_t bars, std::size_t width, std::uint8_t** data);

// `width` strided outputs into a row-major table, each marking presence in
// the row-major table `present` when it is given.
std::vector<StridedOutput> row_outputs(double* data, std::size_t width, std::uint8_t* present = nullptr);

// A column run's result for `owner`: a new (bars, width) _Result, and with
// `validity` a second one of presence flags, handed to `run` as strided
// outputs. Returns the _Result, or with `validity` the tuple (values,
// present); null with an exception set when the room cannot be had or
// `run` returns false (its exception set).
PyObject* run_result(PyObject* owner, std::size_t bars, std::size_t width, bool validity,
                     const std::function<bool(std::span<const StridedOutput>)>& run);

}  // namespace sarvek::py
