#include "python/buffers.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sarvek::py {
namespace {

// "'name'" of obj's type, for messages; null with an exception set.
PyObject* type_name(PyObject* obj) { return PyType_GetName(Py_TYPE(obj)); }

bool refuse_format(const char* what, const Py_buffer& v) {
  PyErr_Format(PyExc_TypeError, "%s must be float64 (format 'd'), got format '%s' of %zd-byte items", what,
               v.format ? v.format : "B", v.itemsize);
  return false;
}

// Strides whole multiples of 8 bytes and an 8-byte-aligned start, so every
// value is a double read in place.
bool check_layout(const char* what, const Py_buffer& v) {
  for (int d = 0; d < v.ndim; ++d) {
    if (v.strides[d] % 8 != 0) {
      PyErr_Format(PyExc_ValueError, "%s must have strides that are whole multiples of 8 bytes, got %zd in dimension %d",
                   what, v.strides[d], d);
      return false;
    }
  }
  if (reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) != 0) {
    PyErr_Format(PyExc_ValueError, "%s must start at an address aligned to 8 bytes", what);
    return false;
  }
  return true;
}

bool in_place(const Py_buffer& v) {
  for (int d = 0; d < v.ndim; ++d)
    if (v.strides[d] % 8 != 0) return false;
  return reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0;
}

StridedColumn column_of(const Py_buffer& v, Py_ssize_t j) {
  const char* base = static_cast<const char*>(v.buf) + (v.ndim == 2 ? j * v.strides[1] : 0);
  return {reinterpret_cast<const double*>(base), v.strides[0] / 8};
}

bool read_table_columns(const Py_buffer& v, ColumnInput& out) {
  if (!check_layout("data", v)) return false;
  out.bars = static_cast<std::size_t>(v.shape[0]);
  out.columns.clear();
  for (Py_ssize_t j = 0; j < v.shape[1]; ++j) out.columns.push_back(column_of(v, j));
  return true;
}

bool read_one_buffer(PyObject* data, std::size_t width, ColumnInput& out) {
  HeldBuffer& held = out.held.emplace_back();
  if (!held.get(data)) return false;
  const Py_buffer& v = held.view();
  if (!is_float64(v)) return refuse_format("data", v);
  if (v.ndim != 2) {
    PyErr_Format(PyExc_ValueError, "data must be 2-dimensional, of shape (bars, %zu), got %d dimension%s", width,
                 v.ndim, v.ndim == 1 ? "" : "s");
    return false;
  }
  if (static_cast<std::size_t>(v.shape[1]) != width) {
    PyErr_Format(PyExc_ValueError, "data must have shape (bars, %zu), one column per input column, got (%zd, %zd)",
                 width, v.shape[0], v.shape[1]);
    return false;
  }
  return read_table_columns(v, out);
}

bool read_column_buffers(PyObject* data, std::size_t width, ColumnInput& out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(data);
  if (static_cast<std::size_t>(n) != width) {
    PyErr_Format(PyExc_ValueError, "data must hold one 1-D buffer per input column: expected %zu, got %zd", width,
                 n);
    return false;
  }
  PyObject** items = PySequence_Fast_ITEMS(data);
  char what[48];
  for (Py_ssize_t j = 0; j < n; ++j) {
    std::snprintf(what, sizeof what, "data[%zd]", j);
    if (!PyObject_CheckBuffer(items[j])) {
      PyObject* name = type_name(items[j]);
      if (name) PyErr_Format(PyExc_TypeError, "%s must be a 1-D float64 buffer, got '%U'", what, name);
      Py_XDECREF(name);
      return false;
    }
    HeldBuffer& held = out.held.emplace_back();
    if (!held.get(items[j])) return false;
    const Py_buffer& v = held.view();
    if (!is_float64(v)) return refuse_format(what, v);
    if (v.ndim != 1) {
      PyErr_Format(PyExc_ValueError, "%s must be 1-dimensional, got %d dimensions", what, v.ndim);
      return false;
    }
    if (!check_layout(what, v)) return false;
    const auto length = static_cast<std::size_t>(v.shape[0]);
    if (j > 0 && length != out.bars) {
      PyErr_Format(PyExc_ValueError, "every column must hold the same number of bars: data[0] holds %zu, %s holds %zu",
                   out.bars, what, length);
      return false;
    }
    out.bars = length;
    out.columns.push_back(column_of(v, 0));
  }
  return true;
}

}  // namespace

bool is_float64(const Py_buffer& v) {
  if (v.itemsize != 8 || !v.format) return false;
  const char* f = v.format;
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
      (*f == '>' && std::endian::native == std::endian::big))
    ++f;
  return std::strcmp(f, "d") == 0;
}

HeldBuffer::~HeldBuffer() {
  if (!held_) return;
  if (own_strides_) view_.strides = nullptr;  // the exporter sees its view as it gave it
  PyBuffer_Release(&view_);
}

bool HeldBuffer::get(PyObject* obj, int flags) {
  if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
  held_ = true;
  if (!view_.strides && view_.ndim > 0) {
    // Null strides mean C order: each dimension steps over all later ones.
    if (view_.ndim > PyBUF_MAX_NDIM || !view_.shape) {
      PyErr_SetString(PyExc_BufferError, "the buffer has neither strides nor a usable shape");
      return false;
    }
    Py_ssize_t step = view_.itemsize;
    for (int d = view_.ndim - 1; d >= 0; --d) {
      strides_[d] = step;
      step *= view_.shape[d];
    }
    view_.strides = strides_;
    own_strides_ = true;
  }
  return true;
}

bool read_columns(PyObject* data, std::size_t width, ColumnInput& out) {
  if (PyList_Check(data) || PyTuple_Check(data)) {
    PyObject* fast = PySequence_Fast(data, "data");
    if (!fast) return false;
    const bool ok = read_column_buffers(fast, width, out);
    Py_DECREF(fast);
    return ok;
  }
  if (PyObject_CheckBuffer(data)) return read_one_buffer(data, width, out);
  PyObject* name = type_name(data);
  if (name)
    PyErr_Format(PyExc_TypeError,
                 "data must be a 2-D float64 buffer of shape (bars, %zu) or a list of %zu 1-D float64 buffers, "
                 "got '%U'",
                 width, width, name);
  Py_XDECREF(name);
  return false;
}

int read_table(PyObject* data, ColumnInput& out) {
  if (PyList_Check(data) || PyTuple_Check(data) || !PyObject_CheckBuffer(data)) return 0;
  HeldBuffer& held = out.held.emplace_back();
  if (!held.get(data)) {
    PyErr_Clear();  // read as a sequence of rows instead
    out.held.pop_back();
    return 0;
  }
  const Py_buffer& v = held.view();
  if (!is_float64(v) || v.ndim != 2) {
    out.held.pop_back();
    return 0;
  }
  if (in_place(v)) return read_table_columns(v, out) ? 1 : -1;
  // Strides that are not whole doubles, or a misaligned start: copied, value
  // by value, into a row-major table.
  const auto bars = static_cast<std::size_t>(v.shape[0]);
  const auto width = static_cast<std::size_t>(v.shape[1]);
  if (width != 0 && bars > std::numeric_limits<std::size_t>::max() / sizeof(double) / width) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a copy of data: %zu x %zu float64 values", bars, width);
    return -1;
  }
  out.copy.reset(static_cast<double*>(std::malloc(std::max<std::size_t>(bars * width, 1) * sizeof(double))));
  if (!out.copy) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a copy of data: %zu x %zu float64 values (%zu bytes)", bars,
                 width, bars * width * sizeof(double));
    return -1;
  }
  const char* base = static_cast<const char*>(v.buf);
  for (std::size_t i = 0; i < bars; ++i)
    for (std::size_t j = 0; j < width; ++j)
      std::memcpy(&out.copy[i * width + j],
                  base + static_cast<Py_ssize_t>(i) * v.strides[0] + static_cast<Py_ssize_t>(j) * v.strides[1],
                  sizeof(double));
  out.bars = bars;
  out.columns.clear();
  for (std::size_t j = 0; j < width; ++j) out.columns.push_back({out.copy.get() + j, static_cast<std::ptrdiff_t>(width)});
  return 1;
}

}  // namespace sarvek::py
