// _Universe: one pipeline copy per symbol, every symbol moved by one call
// (core/pipeline/universe.h). Private: the package's sarvek.Universe keys
// the slots by symbol and frames the saved states.

#include "python/universe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/pipeline/universe.h"
#include "python/buffers.h"
#include "python/classdef.h"
#include "python/convert.h"
#include "python/feature_pipeline.h"
#include "python/guard.h"
#include "python/result.h"
#include "python/unlocked.h"

namespace sarvek::py {
namespace {

struct UniversePayload {
  AccessGuard guard;
  Universe universe;
  // A copy of the bars when their layout cannot be read in place (or they
  // overlap the output); reused from call to call.
  std::vector<double> copy;
};

// A buffer view released on scope exit.
class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* obj, int flags) {
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    return held_;
  }
  // As get(), a refusal to export naming the argument and what it must be.
  bool get(PyObject* obj, int flags, const char* what, const char* expected) {
    if (get(obj, flags)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be %s, got %s", what, expected, Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The bytes [lo, hi) a strided view spans.
std::pair<const char*, const char*> extent(const Py_buffer& v) {
  const char* lo = static_cast<const char*>(v.buf);
  const char* hi = lo;
  for (int d = 0; d < v.ndim; ++d) {
    if (v.shape[d] == 0) return {lo, lo};
    const Py_ssize_t reach = (v.shape[d] - 1) * v.strides[d];
    (reach < 0 ? lo : hi) += reach;
  }
  return {lo, hi + v.itemsize};
}

bool overlap(const Py_buffer& a, const Py_buffer& b) {
  const auto [alo, ahi] = extent(a);
  const auto [blo, bhi] = extent(b);
  return alo < bhi && blo < ahi;
}

std::string shape_text(const Py_buffer& v) {
  std::string text = "(";
  for (int d = 0; d < v.ndim; ++d) {
    if (d) text.append(", ");
    text.append(std::to_string(v.shape[d]));
  }
  if (v.ndim == 1) text.append(",");
  return text.append(")");
}

PyObject* universe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const kParams[] = {"pipeline", "symbols"};
    PyObject* bound[2];
    if (!bind_tuple("_Universe", kParams, 2, args, kwargs, bound)) return nullptr;
    std::size_t symbols = 0;
    if (!to_size(bound[1], "symbols", symbols)) return nullptr;
    std::optional<FeaturePipeline> proto = fresh_pipeline_of(bound[0], "pipeline");
    if (!proto) return nullptr;
    return new_instance(type, UniversePayload{{}, Universe(*proto, symbols), {}});
  });
}

// update(bars, present=None, out=None): every check before anything changes.
PyObject* universe_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"bars", "present", "out"};
  PyObject* bound[3];
  if (!bind_fastcall("update", kParams, 1, args, nargs, kwnames, bound)) return nullptr;
  PyObject* present_obj = bound[1] == Py_None ? nullptr : bound[1];
  PyObject* out_obj = bound[2] == Py_None ? nullptr : bound[2];
  return writing<UniversePayload>(self, [&](UniversePayload& p) -> PyObject* {
    Universe& u = p.universe;
    const std::size_t n = u.size();
    View bars;
    if (!bars.get(bound[0], PyBUF_RECORDS_RO, "bars", "a 2-D float64 array (or buffer)")) return nullptr;
    if (!is_float64(*bars))
      return PyErr_Format(PyExc_TypeError, "bars must be float64 (format 'd'), got format '%s' of %zd-byte items",
                          bars->format ? bars->format : "B", bars->itemsize);
    if (bars->ndim != 2 || static_cast<std::size_t>(bars->shape[0]) != n ||
        static_cast<std::size_t>(bars->shape[1]) != u.inputs())
      return PyErr_Format(PyExc_ValueError,
                          "bars must have shape (%zu, %zu): one row per symbol, one column per input column; got %s",
                          n, u.inputs(), shape_text(*bars).c_str());

    View present;
    const std::uint8_t* mask = nullptr;
    std::ptrdiff_t mask_stride = 0;
    if (present_obj) {
      if (!present.get(present_obj, PyBUF_RECORDS_RO, "present", "None or a 1-D bool array (or buffer)")) return nullptr;
      const char* f = present->format ? present->format : "B";
      if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
      if (present->itemsize != 1 || (std::strcmp(f, "?") != 0 && std::strcmp(f, "B") != 0))
        return PyErr_Format(PyExc_TypeError, "present must be bool or uint8 (format '?' or 'B'), got format '%s'",
                            present->format ? present->format : "B");
      if (present->ndim != 1 || static_cast<std::size_t>(present->shape[0]) != n)
        return PyErr_Format(PyExc_ValueError, "present must have shape (%zu,), one flag per symbol; got %s", n,
                            shape_text(*present).c_str());
      mask = static_cast<const std::uint8_t*>(present->buf);
      mask_stride = present->strides[0];
    }

    View out;
    PyObject* result = nullptr;
    double* dst = nullptr;
    if (out_obj) {
      if (!out.get(out_obj, PyBUF_RECORDS, "out", "None or a writable C-contiguous float64 array")) return nullptr;
      if (!is_float64(*out))
        return PyErr_Format(PyExc_TypeError, "out must be float64 (format 'd'), got format '%s' of %zd-byte items",
                            out->format ? out->format : "B", out->itemsize);
      if (out->ndim != 2 || static_cast<std::size_t>(out->shape[0]) != n ||
          static_cast<std::size_t>(out->shape[1]) != u.outputs())
        return PyErr_Format(PyExc_ValueError, "out must have shape (%zu, %zu): one row per symbol, one column per output; got %s",
                            n, u.outputs(), shape_text(*out).c_str());
      if (!PyBuffer_IsContiguous(&*out, 'C') || reinterpret_cast<std::uintptr_t>(out->buf) % alignof(double) != 0)
        return PyErr_Format(PyExc_ValueError, "out must be C-contiguous and aligned to 8 bytes");
      dst = static_cast<double*>(out->buf);
      result = Py_NewRef(out_obj);
    } else {
      result = new_result(self, n, u.outputs(), &dst);
      if (!result) return nullptr;
    }
    const Owned owned(result);

    // In place when every value is an aligned double that the output does
    // not overwrite; else one copy, row-major.
    StridedTable table{nullptr, 0, 0};
    const bool aligned = bars->strides[0] % 8 == 0 && bars->strides[1] % 8 == 0 &&
                         reinterpret_cast<std::uintptr_t>(bars->buf) % alignof(double) == 0;
    if (aligned && !(out_obj && overlap(*bars, *out))) {
      table = {static_cast<const double*>(bars->buf), bars->strides[0] / 8, bars->strides[1] / 8};
    } else {
      p.copy.resize(n * u.inputs());
      const char* base = static_cast<const char*>(bars->buf);
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < u.inputs(); ++j)
          std::memcpy(&p.copy[i * u.inputs() + j],
                      base + static_cast<Py_ssize_t>(i) * bars->strides[0] + static_cast<Py_ssize_t>(j) * bars->strides[1],
                      sizeof(double));
      table = {p.copy.data(), static_cast<std::ptrdiff_t>(u.inputs()), 1};
    }
    if (n != 0) {
      without_lock([&](const std::function<bool()>&) {
        u.update(table, mask, mask_stride, dst);
        return 0;
      });
    }
    return Py_NewRef(result);
  });
}

PyObject* universe_add(PyObject* self, PyObject*) {
  return writing<UniversePayload>(self, [](UniversePayload& p) -> PyObject* {
    p.universe.add();
    Py_RETURN_NONE;
  });
}

PyObject* universe_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"index"};
  PyObject* obj;
  if (!bind_fastcall("_remove", kParams, 1, args, nargs, kwnames, &obj)) return nullptr;
  std::size_t index = 0;
  if (!to_size(obj, "index", index)) return nullptr;
  return writing<UniversePayload>(self, [&](UniversePayload& p) -> PyObject* {
    if (index >= p.universe.size())
      return PyErr_Format(PyExc_IndexError, "index %zu is out of range for %zu symbols", index, p.universe.size());
    p.universe.remove(index);
    Py_RETURN_NONE;
  });
}

// _warm(index, data): the slot replaced by a fresh copy fed `data` (as
// FeaturePipeline._run_columns takes it) through the column engine, with the
// interpreter lock released; interrupted, the slot is as it was.
PyObject* universe_warm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"index", "data"};
  PyObject* bound[2];
  if (!bind_fastcall("_warm", kParams, 2, args, nargs, kwnames, bound)) return nullptr;
  std::size_t index = 0;
  if (!to_size(bound[0], "index", index)) return nullptr;
  return writing<UniversePayload>(self, [&](UniversePayload& p) -> PyObject* {
    if (index >= p.universe.size())
      return PyErr_Format(PyExc_IndexError, "index %zu is out of range for %zu symbols", index, p.universe.size());
    ColumnInput in;
    if (!read_columns(bound[1], p.universe.inputs(), in)) return nullptr;
    auto status = without_lock([&](const std::function<bool()>& interrupted) {
      return p.universe.warm(index, in.bars, in.columns, interrupted);
    });
    if (!status) return raise_core_error(status.error());
    if (*status == RunStatus::interrupted) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* universe_state(PyObject* self, PyObject*) {
  return reading<UniversePayload>(self, [](UniversePayload& p) -> PyObject* {
    auto saved = p.universe.save();
    if (!saved) return raise_core_error(saved.error());
    return PyBytes_FromStringAndSize(saved->data(), static_cast<Py_ssize_t>(saved->size()));
  });
}

PyObject* universe_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kParams[] = {"state"};
  PyObject* obj;
  if (!bind_fastcall("_restore", kParams, 1, args, nargs, kwnames, &obj)) return nullptr;
  View view;
  if (!view.get(obj, PyBUF_SIMPLE, "state", "bytes")) return nullptr;
  return writing<UniversePayload>(self, [&](UniversePayload& p) -> PyObject* {
    auto done = p.universe.load({static_cast<const unsigned char*>(view->buf), static_cast<std::size_t>(view->len)});
    if (!done) return raise_core_error(done.error());
    Py_RETURN_NONE;
  });
}

PyObject* universe_output_names(PyObject* self, PyObject*) {
  return reading<UniversePayload>(self, [](UniversePayload& p) {
    return new_str_list(p.universe.prototype().output_names());
  });
}

PyObject* universe_input_names(PyObject* self, PyObject*) {
  return reading<UniversePayload>(self, [](UniversePayload& p) {
    return new_str_list(p.universe.prototype().input_names());
  });
}

Py_ssize_t universe_len(PyObject* self) {
  return guarded_len<UniversePayload>(self, [](UniversePayload& p) { return p.universe.size(); });
}

}  // namespace

PyTypeObject* universe_class(PyObject* module) {
  ClassSpec spec{
      .name = "_Universe",
      .signature = "(pipeline, symbols)",
      .doc = "One fresh copy of a FeaturePipeline per symbol, all moved by one update call; each copy's results "
             "and state are bit for bit those of its own pipeline fed the same bars.",
      .basicsize = static_cast<int>(sizeof(Instance<UniversePayload>)),
      .tp_new = universe_new,
      .tp_dealloc = dealloc_instance<UniversePayload>,
      .sq_length = universe_len,
      .methods =
          {
              {"update", as_method(universe_update), METH_FASTCALL | METH_KEYWORDS,
               "($self, bars, present=None, out=None)",
               "One bar per symbol: bars a float64 (symbols, inputs) buffer, NaN missing; present an optional "
               "bool/uint8 (symbols,) mask (a symbol without a bar keeps its state and gets a row of NaN); out an "
               "optional C-contiguous float64 (symbols, outputs) buffer. Returns out, or a new _Result. Every "
               "refusal comes before anything changes."},
              {"_add", as_method(universe_add), METH_NOARGS, "($self)", "A fresh slot at the end."},
              {"_remove", as_method(universe_remove), METH_FASTCALL | METH_KEYWORDS, "($self, index)",
               "Drops slot index; the others keep their order."},
              {"_warm", as_method(universe_warm), METH_FASTCALL | METH_KEYWORDS, "($self, index, data)",
               "Slot index becomes a fresh copy fed data (as _run_columns takes it) through the column engine."},
              {"_state", as_method(universe_state), METH_NOARGS, "($self)", "Every slot's state as bytes."},
              {"_restore", as_method(universe_restore), METH_FASTCALL | METH_KEYWORDS, "($self, state)",
               "Every slot replaced from what _state gave (the slot count with it), all or nothing."},
              {"output_names", as_method(universe_output_names), METH_NOARGS, "($self)",
               "Output column names in execution order."},
              {"input_names", as_method(universe_input_names), METH_NOARGS, "($self)",
               "Input columns in the order of the bars' columns."},
          },
  };
  return create_class(module, spec);
}

}  // namespace sarvek::py
