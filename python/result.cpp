#include "python/result.h"

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
  bool flags;  // one byte per entry, format '?', instead of float64
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
    free_table(memory);
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

}  // namespace sarvek::py
