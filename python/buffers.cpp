#include "python/buffers.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include "core/simd/kernels.h"
#include "python/classdef.h"
#include "python/convert.h"

namespace sarvek::py {
namespace {

constexpr std::size_t kSignalEvery = 65536;  // values converted between signal checks

bool is_float64(const Py_buffer& v) {
  if (v.itemsize != 8 || !v.format) return false;
  const char* f = v.format;
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
      (*f == '>' && std::endian::native == std::endian::big))
    ++f;
  return std::strcmp(f, "d") == 0;
}

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

inline bool item_to_double(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

// Counts converted values; every kSignalEvery runs the signal handlers.
struct SignalCounter {
  std::size_t count = 0;
  bool tick() { return ++count % kSignalEvery != 0 || PyErr_CheckSignals() == 0; }
};

}  // namespace

HeldBuffer::~HeldBuffer() {
  if (!held_) return;
  if (own_strides_) view_.strides = nullptr;  // the exporter sees its view as it gave it
  PyBuffer_Release(&view_);
}

bool HeldBuffer::get(PyObject* obj) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) return false;
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

bool to_row_table(PyObject* data, const char* param, std::size_t width, RowTable& out) {
  out.width = width;
  SignalCounter signals;
  const bool ok = for_each_item(
      data, [&](Py_ssize_t n) { out.values.reserve(capacity_hint(n) * width); },
      [&](PyObject* row) {
        const std::size_t base = out.values.size();
        out.values.resize(base + width, std::nan(""));  // grows geometrically
        std::size_t length = 0;
        const bool row_ok = for_each_item(
            row, [](Py_ssize_t) {},
            [&](PyObject* item) {
              double d;
              if (!item_to_double(item, d)) return false;
              if (length < width) out.values[base + length] = d;
              ++length;
              return signals.tick();
            });
        if (!row_ok) return false;
        if (length < width && out.short_bar == RowTable::kNone) {
          out.short_bar = out.bars;
          out.short_length = length;
        }
        ++out.bars;
        return signals.tick();
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

PyObject* new_row_lists(const double* values, std::size_t bars, std::size_t width) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bars));
  if (!list) return nullptr;
  SignalCounter signals;
  for (std::size_t i = 0; i < bars; ++i) {
    PyObject* row = PyList_New(static_cast<Py_ssize_t>(width));
    if (!row) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), row);
    for (std::size_t k = 0; k < width; ++k) {
      PyObject* f = PyFloat_FromDouble(values[i * width + k]);
      if (!f) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(row, static_cast<Py_ssize_t>(k), f);
    }
    if (!signals.tick()) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* new_column_lists(const std::vector<Column>& columns) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(columns.size()));
  if (!list) return nullptr;
  SignalCounter signals;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const Column& c = columns[k];
    PyObject* inner = PyList_New(static_cast<Py_ssize_t>(c.size()));
    if (!inner) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), inner);
    for (std::size_t i = 0; i < c.size(); ++i) {
      PyObject* f = value_to_float(c[i]);
      if (!f || !signals.tick()) {
        Py_XDECREF(f);
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(i), f);
    }
  }
  return list;
}

// ----------------------------------------------------------------- result

namespace {

// Plain fields only: an instance whose payload was never filled in (all
// zero) is a valid empty table.
struct ResultPayload {
  void* data;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  bool flags;  // one byte per entry, format '?', instead of float64
};

ResultPayload& result_of(PyObject* self) { return payload_of<ResultPayload>(self); }

PyObject* result_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::free(result_of(self).data);
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
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !trivially_both) {
    PyErr_SetString(PyExc_BufferError, "the result is C-contiguous, not Fortran-contiguous");
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
             "of results, bool values: True where a result is present), held in C order and exported through "
             "the buffer protocol: numpy.asarray(result) wraps it without a copy.",
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

// Room for a result table. A large one is aligned to 2 MiB and offered to the
// kernel for huge pages, as NumPy does for its large arrays: first touching
// 4 KiB pages one fault at a time costs more than computing many features.
void* allocate_table(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes < 2 * kHuge) return std::malloc(bytes == 0 ? sizeof(double) : bytes);
  void* memory = nullptr;
  if (posix_memalign(&memory, kHuge, bytes) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: its failure changes nothing
#endif
  return memory;
}

}  // namespace

namespace {

PyObject* new_table(PyObject* owner, std::size_t bars, std::size_t width, bool flags, void** data) {
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
    std::free(memory);
    return nullptr;
  }
  ResultPayload& r = result_of(self);
  r.data = memory;
  r.flags = flags;
  r.shape[0] = static_cast<Py_ssize_t>(bars);
  r.shape[1] = static_cast<Py_ssize_t>(width);
  r.strides[0] = static_cast<Py_ssize_t>(width * itemsize);
  r.strides[1] = static_cast<Py_ssize_t>(itemsize);
  *data = memory;
  return self;
}

}  // namespace

PyObject* new_result(PyObject* owner, std::size_t bars, std::size_t width, double** data) {
  void* memory = nullptr;
  PyObject* self = new_table(owner, bars, width, false, &memory);
  *data = static_cast<double*>(memory);
  return self;
}

PyObject* new_flags(PyObject* owner, std::size_t bars, std::size_t width, std::uint8_t** data) {
  void* memory = nullptr;
  PyObject* self = new_table(owner, bars, width, true, &memory);
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

PyObject* run_result(PyObject* owner, std::size_t bars, std::size_t width, bool validity,
                     const std::function<bool(std::span<const StridedOutput>)>& run) {
  double* values;
  PyObject* result = new_result(owner, bars, width, &values);
  if (!result) return nullptr;
  const Owned owned_result(result);
  std::uint8_t* flags = nullptr;
  PyObject* present = nullptr;
  if (validity) {
    present = new_flags(owner, bars, width, &flags);
    if (!present) return nullptr;
  }
  const Owned owned_present(present);
  const std::vector<StridedOutput> outputs = row_outputs(values, width, flags);
  if (!run(outputs)) return nullptr;
  if (!validity) return Py_NewRef(result);
  return PyTuple_Pack(2, result, present);
}

// ------------------------------------------------------------- functions

namespace {

PyObject* simd_paths(PyObject*, PyObject*) {
  return boundary([]() -> PyObject* {
    const std::vector<std::string> paths = simd::available_paths();
    return new_str_list(Names(paths.begin(), paths.end()));
  });
}

PyObject* simd_path(PyObject*, PyObject*) {
  return boundary([]() -> PyObject* { return new_str(simd::current_path()); });
}

PyObject* set_simd_path(PyObject*, PyObject* name) {
  return boundary([&]() -> PyObject* {
    std::string text;
    if (!to_string(name, "name", text)) return nullptr;
    if (!simd::set_path(text)) {
      std::string known;
      for (const std::string& p : simd::available_paths()) known += (known.empty() ? "" : ", ") + p;
      PyErr_Format(PyExc_ValueError, "SIMD path %R is unknown or not supported by this CPU; available: %s", name,
                   known.c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_functions[] = {
    {"_simd_paths", simd_paths, METH_NOARGS,
     "_simd_paths()\n--\n\nThe SIMD paths of the column kernels this CPU can run, plainest first."},
    {"_simd_path", simd_path, METH_NOARGS, "_simd_path()\n--\n\nThe SIMD path column runs use now."},
    {"_set_simd_path", set_simd_path, METH_O,
     "_set_simd_path(name)\n--\n\nMakes every later column run use the named SIMD path (for tests: every "
     "path gives the same bits)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* column_functions() { return g_functions; }

// -------------------------------------------------------- the lock released

bool SignalCheck::operator()() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kEvery) return false;
  last_ = now;
  PyEval_RestoreThread(state_);
  const bool raised = PyErr_CheckSignals() != 0;
  state_ = PyEval_SaveThread();
  return raised;
}

}  // namespace sarvek::py
