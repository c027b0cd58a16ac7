#include "python/result.h"

#include <algorithm>
#include <cstring>

#include "python/classdef.h"
#include "python/convert.h"
#include "python/table_memory.h"

namespace sarvek::py {

namespace {

// Plain fields only: an instance whose payload was never filled in (all
// zero) is a valid empty table.
struct ResultPayload {
  void* data;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  bool flags;    // one byte per entry, format '?', instead of float64
  bool columns;  // Fortran order: column after column
};

ResultPayload& result_of(PyObject* self) { return payload_of<ResultPayload>(self); }

PyObject* result_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  free_table(result_of(self).data);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t result_len(PyObject* self) { return result_of(self).shape[0]; }

PyObject* result_shape(PyObject* self, void*) {
  const ResultPayload& r = result_of(self);
  return Py_BuildValue("(nn)", r.shape[0], r.shape[1]);
}

int result_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ResultPayload& r = result_of(self);
  const bool trivially_both = r.shape[0] <= 1 || r.shape[1] <= 1;
  // A consumer that asks for no strides reads the table in C order.
  const bool wants_c = (flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS ||
                       ((flags & PyBUF_ND) && (flags & PyBUF_STRIDES) != PyBUF_STRIDES);
  const bool wants_f = (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS;
  if (!trivially_both && ((wants_f && !r.columns) || (wants_c && r.columns))) {
    PyErr_SetString(PyExc_BufferError, r.columns ? "the result is Fortran-contiguous, not C-contiguous"
                                                 : "the result is C-contiguous, not Fortran-contiguous");
    view->obj = nullptr;
    return -1;
  }
  static char kFloat[] = "d";
  static char kFlag[] = "?";
  const Py_ssize_t itemsize = r.flags ? 1 : static_cast<Py_ssize_t>(sizeof(double));
  view->buf = r.data;
  view->obj = Py_NewRef(self);
  view->len = r.shape[0] * r.shape[1] * itemsize;
  view->readonly = 0;
  view->itemsize = itemsize;
  view->format = (flags & PyBUF_FORMAT) ? (r.flags ? kFlag : kFloat) : nullptr;
  view->ndim = (flags & PyBUF_ND) ? 2 : 1;
  view->shape = (flags & PyBUF_ND) ? r.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? r.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyGetSetDef g_result_getset[] = {
    {"shape", result_shape, nullptr, "(bars, outputs)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_result_class(PyObject* module) {
  ClassSpec spec{
      .name = "_Result",
      .signature = "()",
      .doc = "A table of results, (bars, outputs) float64 values with NaN for missing (or, for the presence "
             "of results, bool values: True where a result is present), held in C order (or Fortran order, "
             "when the run was asked for it) and exported through the buffer protocol: numpy.asarray(result) "
             "wraps it without a copy.",
      .basicsize = static_cast<int>(sizeof(Instance<ResultPayload>)),
      .tp_new = result_new,
      .tp_dealloc = result_dealloc,
      .sq_length = result_len,
      .methods = {},
      .slots = {{Py_bf_getbuffer, reinterpret_cast<void*>(result_getbuffer)},
                {Py_tp_getset, g_result_getset}},
  };
  return create_class(module, spec);
}

}  // namespace

PyTypeObject* result_class(PyObject* module) { return create_result_class(module); }

namespace {

PyObject* new_table(PyObject* owner, std::size_t bars, std::size_t width, bool flags, Order order, void** data) {
  const std::size_t itemsize = flags ? 1 : sizeof(double);
  const char* kind = flags ? "presence flags" : "float64 values";
  const auto max = static_cast<std::size_t>(PY_SSIZE_T_MAX) / itemsize;
  if (bars > max || (width != 0 && bars > max / width)) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a result of %zu x %zu %s", bars, width, kind);
    return nullptr;
  }
  const ModuleState* state = module_state(Py_TYPE(owner));
  PyTypeObject* type = state ? state->result : nullptr;
  if (!type) {
    PyErr_SetString(PyExc_TypeError, "not an object of this module");
    return nullptr;
  }
  const std::size_t bytes = bars * width * itemsize;
  void* memory = allocate_table(bytes);
  if (!memory) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a result of %zu x %zu %s (%zu bytes)", bars, width, kind,
                 bytes);
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) {
    free_table(memory);
    return nullptr;
  }
  ResultPayload& r = result_of(self);
  r.data = memory;
  r.flags = flags;
  r.shape[0] = static_cast<Py_ssize_t>(bars);
  r.shape[1] = static_cast<Py_ssize_t>(width);
  r.columns = order == Order::columns;
  r.strides[0] = static_cast<Py_ssize_t>(r.columns ? itemsize : width * itemsize);
  r.strides[1] = static_cast<Py_ssize_t>(r.columns ? bars * itemsize : itemsize);
  *data = memory;
  return self;
}

}  // namespace

PyObject* new_result(PyObject* owner, std::size_t bars, std::size_t width, double** data, Order order) {
  void* memory = nullptr;
  PyObject* self = new_table(owner, bars, width, false, order, &memory);
  *data = static_cast<double*>(memory);
  return self;
}

PyObject* new_flags(PyObject* owner, std::size_t bars, std::size_t width, std::uint8_t** data, Order order) {
  void* memory = nullptr;
  PyObject* self = new_table(owner, bars, width, true, order, &memory);
  *data = static_cast<std::uint8_t*>(memory);
  return self;
}

std::vector<StridedOutput> row_outputs(double* data, std::size_t width, std::uint8_t* present) {
  std::vector<StridedOutput> out;
  out.reserve(width);
  const auto w = static_cast<std::ptrdiff_t>(width);
  for (std::size_t k = 0; k < width; ++k) out.push_back({data + k, w, present ? present + k : nullptr, w});
  return out;
}

bool to_order(PyObject* obj, Order& order) {
  order = Order::rows;
  if (!obj) return true;
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_CompareWithASCIIString(obj, "C") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(obj, "F") == 0) {
      order = Order::columns;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "order must be 'C' (row after row) or 'F' (column after column), got %R", obj);
  return false;
}

bool to_request(PyObject* validity, PyObject* order, PyObject* out, ResultRequest& request) {
  if (!to_truth(validity, request.validity) || !to_order(order, request.order)) return false;
  request.out = out == Py_None ? nullptr : out;
  return true;
}

namespace {

// The bytes [first, last) that `bars` entries of a strided column span.
std::pair<std::uintptr_t, std::uintptr_t> span_of(const double* data, std::ptrdiff_t stride, std::size_t bars) {
  const auto a = reinterpret_cast<std::uintptr_t>(data);
  const auto b = reinterpret_cast<std::uintptr_t>(data + static_cast<std::ptrdiff_t>(bars - 1) * stride);
  return {std::min(a, b), std::max(a, b) + sizeof(double)};
}

// `view` as the table a run of `bars` bars over `in` writes `width` values
// per bar into, in `order`: false with the exception set, naming out and
// what it should be, when it cannot be.
bool check_out(const Py_buffer& view, const ColumnInput& in, std::size_t width, Order order) {
  const std::size_t bars = in.bars;
  const char* layout = order == Order::columns ? "F-contiguous (order='F')" : "C-contiguous (order='C')";
  if (!is_float64(view)) {
    PyErr_Format(PyExc_TypeError, "out must be float64 (format 'd'), got format '%s' of %zd-byte items",
                 view.format ? view.format : "B", view.itemsize);
    return false;
  }
  if (view.ndim != 2 || static_cast<std::size_t>(view.shape[0]) != bars ||
      static_cast<std::size_t>(view.shape[1]) != width) {
    if (view.ndim != 2)
      PyErr_Format(PyExc_ValueError, "out must have shape (%zu, %zu), one row per bar and one column per output, "
                   "got %d dimension%s", bars, width, view.ndim, view.ndim == 1 ? "" : "s");
    else
      PyErr_Format(PyExc_ValueError, "out must have shape (%zu, %zu), one row per bar and one column per output, "
                   "got (%zd, %zd)", bars, width, view.shape[0], view.shape[1]);
    return false;
  }
  if (view.readonly) {
    PyErr_SetString(PyExc_ValueError, "out must be writable, got a read-only buffer");
    return false;
  }
  if (!PyBuffer_IsContiguous(&view, order == Order::columns ? 'F' : 'C')) {
    PyErr_Format(PyExc_ValueError, "out must be %s, got strides (%zd, %zd)", layout, view.strides[0],
                 view.strides[1]);
    return false;
  }
  if (reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) {
    PyErr_SetString(PyExc_ValueError, "out must start at an address aligned to 8 bytes");
    return false;
  }
  if (bars == 0 || width == 0) return true;
  const auto first = reinterpret_cast<std::uintptr_t>(view.buf);
  const std::uintptr_t last = first + bars * width * sizeof(double);
  for (std::size_t j = 0; j < in.columns.size(); ++j) {
    const StridedColumn& c = in.columns[j];
    if (!c.data) continue;
    const auto [a, b] = span_of(c.data, c.stride, bars);
    if (a < last && first < b) {
      PyErr_Format(PyExc_ValueError, "out must not share memory with the input data (input column %zu lies in it)", j);
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* run_result(PyObject* owner, const ColumnInput& in, std::size_t width, const ResultRequest& request,
                     const std::function<bool(std::span<const StridedOutput>)>& run) {
  const std::size_t bars = in.bars;
  HeldBuffer held;  // the caller's table, held until the run ends
  double* values = nullptr;
  PyObject* result = nullptr;
  if (request.out) {
    if (!PyObject_CheckBuffer(request.out)) {
      PyObject* name = PyType_GetName(Py_TYPE(request.out));
      if (name)
        PyErr_Format(PyExc_TypeError, "out must be a writable float64 array of shape (%zu, %zu) or None, got '%U'",
                     bars, width, name);
      Py_XDECREF(name);
      return nullptr;
    }
    if (!held.get(request.out, PyBUF_RECORDS_RO) || !check_out(held.view(), in, width, request.order))
      return nullptr;
    values = static_cast<double*>(held.view().buf);
    result = Py_NewRef(request.out);
  } else {
    result = new_result(owner, bars, width, &values, request.order);
    if (!result) return nullptr;
  }
  const Owned owned_result(result);
  std::uint8_t* flags = nullptr;
  PyObject* present = nullptr;
  if (request.validity) {
    present = new_flags(owner, bars, width, &flags, request.order);
    if (!present) return nullptr;
  }
  const Owned owned_present(present);
  std::vector<StridedOutput> outputs;
  if (request.order == Order::rows) {
    outputs = row_outputs(values, width, flags);
  } else {
    outputs.reserve(width);
    for (std::size_t k = 0; k < width; ++k)
      outputs.push_back({values + k * bars, 1, flags ? flags + k * bars : nullptr, 1});
  }
  // A result: written once, handed over, larger than the caches when it matters.
  for (StridedOutput& o : outputs) o.stream = true;
  if (!run(outputs)) return nullptr;
  if (!request.validity) return Py_NewRef(result);
  return PyTuple_Pack(2, result, present);
}

// The keywords `threads` (a whole number of at least 1, absent: 1) and
// `piece_bars` (at least 0, absent: 0) of a column run.
bool to_threads(PyObject* threads, PyObject* piece_bars, RunThreads& out) {
  if (threads) {
    int overflow = 0;
    const long long n =
        PyLong_Check(threads) && !PyBool_Check(threads) ? PyLong_AsLongLongAndOverflow(threads, &overflow) : 0;
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 1 && overflow <= 0) {
      PyErr_Format(PyExc_ValueError, "threads must be a whole number of at least 1, got %R", threads);
      return false;
    }
    out.count = overflow > 0 ? RunThreads::kMost : static_cast<std::size_t>(n);
  }
  return !piece_bars || to_size(piece_bars, "piece_bars", out.piece_bars);
}

}  // namespace sarvek::py
