#pragma once

// Conversions between Python objects and core values, argument binding and
// the mapping of failures to Python exceptions. Nothing numerical happens
// here.

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/reserve_error.h"
#include "core/value.h"

namespace sarvek::py {

// ---------------------------------------------------------------- errors

// Raises ValueError whose only argument is the error's display text.
PyObject* raise_core_error(const CoreError& err);

// Runs `f` and turns any C++ exception that escapes it into a Python
// exception, so nothing unexpected ever unwinds into the interpreter.
// `fail` is the value the slot returns on error (nullptr, -1). Room that
// could not be reserved is a MemoryError that says what was asked for; any
// other allocation failure a plain MemoryError.
template <class F, class R = std::invoke_result_t<F>>
R boundary(F&& f, R fail) noexcept {
  try {
    return f();
  } catch (const ReserveError& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return fail;
}

template <class F>
PyObject* boundary(F&& f) noexcept {
  return boundary(std::forward<F>(f), static_cast<PyObject*>(nullptr));
}

// Raises ValueError "unsupported <kind> type: <__name__ of obj's type>".
PyObject* raise_unsupported(const char* kind, PyObject* obj);

// If the pending exception is exactly TypeError, replaces it by a
// TypeError "argument '<param>': <message>" that keeps the original cause.
void prefix_type_error(const char* param);

// ------------------------------------------------------- argument binding

// Binds fastcall arguments to the named parameters, positional or keyword.
// out[i] receives a borrowed reference or nullptr when absent and optional.
// The first `required` parameters must be given. Raises TypeError in
// CPython's wording on a surplus, missing, unknown or doubled argument.
bool bind_fastcall(const char* fname, std::span<const char* const> params, std::size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// TypeError, as CPython words it, when more than `positional` arguments are
// given by position (the parameters after them are keyword-only).
bool keyword_only(const char* fname, std::size_t positional, Py_ssize_t nargs);

// `out` = the truth of `obj` when given (not null); false with an exception
// set when asking it fails.
bool to_truth(PyObject* obj, bool& out);

// The same for tuple-and-dict calls (the __new__ slot).
bool bind_tuple(const char* fname, std::span<const char* const> params, std::size_t required,
                PyObject* args, PyObject* kwargs, PyObject** out);

// ------------------------------------------------------------ conversions

// Calls item(obj) for every item of a sequence argument, read by iteration
// (exact lists and tuples are walked directly). A str, or an object that is
// not a sequence, is refused with TypeError. `hint(n)` receives the length
// the sequence reports, when it reports one. No exception is prefixed here.
template <class Hint, class Item>
bool for_each_item(PyObject* seq, Hint&& hint, Item&& item);

bool type_error_not_convertible(PyObject* obj, const char* target);

// A reported length is trusted for reservation only up to a sane bound, so a
// sequence that lies about its length cannot make a conversion fail.
inline std::size_t capacity_hint(Py_ssize_t n) {
  return static_cast<std::size_t>(std::min<Py_ssize_t>(n, Py_ssize_t{1} << 20));
}

// A float, or any object with __float__ or __index__, as a double; false
// with the conversion's TypeError set otherwise.
inline bool item_to_double(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

// The same as a value: NaN is missing.
inline bool item_to_value(PyObject* item, Value& out) {
  double d;
  if (!item_to_double(item, d)) return false;
  out = std::isnan(d) ? kMissing : Value(d);
  return true;
}

// Counts values converted or made under the interpreter lock, so a long
// conversion still sees signals: every kEvery values tick() runs the
// pending signal handlers, false once one raised (its exception set).
struct SignalCounter {
  static constexpr std::size_t kEvery = 65536;
  std::size_t count = 0;
  bool tick() { return ++count % kEvery != 0 || PyErr_CheckSignals() == 0; }
};

// List of floats: NaN becomes missing, every other float a number. Appends
// to `out` (anything with push_back, reserve-able or not).
template <class Out>
bool to_values(PyObject* obj, const char* param, Out& out) {
  const bool ok = for_each_item(
      obj,
      [&](Py_ssize_t n) {
        if constexpr (requires { out.reserve(std::size_t{}); }) out.reserve(out.size() + capacity_hint(n));
      },
      [&](PyObject* item) {
        Value v;
        if (!item_to_value(item, v)) return false;
        out.push_back(v);
        return true;
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

bool to_names(PyObject* obj, const char* param, Names& out);
bool to_string(PyObject* obj, const char* param, std::string& out);
bool to_size(PyObject* obj, const char* param, std::size_t& out);
// A Python float, or anything float() takes without parsing text (an int,
// an object with __float__ or __index__).
bool to_real(PyObject* obj, const char* param, double& out);

// A reference dropped at the end of a scope, also when it is left by an
// exception.
class Owned {
 public:
  explicit Owned(PyObject* o) : o_(o) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(o_); }

 private:
  PyObject* o_;
};

// Owned references to the items of a sequence argument.
class ObjectList {
 public:
  ObjectList() = default;
  ObjectList(const ObjectList&) = delete;
  ObjectList& operator=(const ObjectList&) = delete;
  ~ObjectList() {
    for (PyObject* o : items_) Py_DECREF(o);
  }
  void push_back(PyObject* borrowed) {
    items_.push_back(borrowed);  // if this throws, no reference was taken
    Py_INCREF(borrowed);
  }
  void reserve(std::size_t n) { items_.reserve(n); }
  std::size_t size() const { return items_.size(); }
  PyObject* operator[](std::size_t i) const { return items_[i]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<PyObject*> items_;
};
bool to_objects(PyObject* obj, const char* param, ObjectList& out);

// List of lists of floats, stored flat: bar (or column) i holds
// values[offsets[i] .. offsets[i + 1]).
struct ValueRows {
  std::vector<Value> values;
  std::vector<std::size_t> offsets{0};
  std::size_t rows() const { return offsets.size() - 1; }
  std::span<const Value> row(std::size_t i) const {
    return {values.data() + offsets[i], offsets[i + 1] - offsets[i]};
  }
};
bool to_value_rows(PyObject* obj, const char* param, ValueRows& out);

// ---------------------------------------------------------------- results

inline PyObject* value_to_float(const Value& v) {
  return PyFloat_FromDouble(v ? *v : std::nan(""));
}

// A new list of floats, missing as NaN.
template <class Range>
PyObject* new_float_list(const Range& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(values)));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const Value& v : values) {
    PyObject* f = value_to_float(v);
    if (!f) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, f);
  }
  return list;
}

// A new list of `n` new floats whose values fill_float_list writes later:
// a caller allocates a result this way before it changes any state, so a
// failure to allocate loses nothing.
PyObject* new_blank_float_list(std::size_t n);

// Writes `values` (missing as NaN) into the floats of a list from
// new_blank_float_list that nothing else has seen yet, and returns a new
// reference to it. A list of another length is not touched and a new list
// is made instead.
template <class Range>
PyObject* fill_float_list(PyObject* list, const Range& values) {
  if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != std::size(values)) return new_float_list(values);
  Py_ssize_t i = 0;
  for (const Value& v : values)
    reinterpret_cast<PyFloatObject*>(PyList_GET_ITEM(list, i++))->ob_fval = v ? *v : std::nan("");
  return Py_NewRef(list);
}

// A new list of `count` new lists of floats, list i from `row(i)`.
template <class Row>
PyObject* new_float_lists(std::size_t count, Row&& row) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* inner = new_float_list(row(i));
    if (!inner) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), inner);
  }
  return list;
}

PyObject* new_str(const std::string& s);
// Sets dict[key] to `value`, a new reference that is always consumed (null
// when building it failed). False with an exception set on failure.
bool dict_set(PyObject* dict, const char* key, PyObject* value);

// A new dict filled by `fill(dict)`, which returns false with an exception
// set on failure; the half-filled dict is then released.
template <class Fill>
PyObject* new_dict(Fill&& fill) {
  PyObject* dict = PyDict_New();
  if (dict && !fill(dict)) Py_CLEAR(dict);
  return dict;
}


PyObject* new_str_list(const Names& names);
PyObject* new_size(std::size_t n);

// {"input_columns": [...], key: [describe(0), ..., describe(count - 1)]}:
// the plain-data form of a pipeline. `describe(i)` returns a new reference
// or null with an exception set.
template <class Describe>
PyObject* new_pipeline_dict(const Names& input_columns, const char* key, std::size_t count, Describe&& describe) {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  bool ok = list != nullptr;
  for (std::size_t i = 0; ok && i < count; ++i) {
    PyObject* item = describe(i);
    ok = item != nullptr;
    if (ok) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  if (!ok) {
    Py_XDECREF(list);
    Py_DECREF(dict);
    return nullptr;
  }
  if (!dict_set(dict, "input_columns", new_str_list(input_columns)) || !dict_set(dict, key, list)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// ------------------------------------------------------------ definitions

template <class Hint, class Item>
bool for_each_item(PyObject* seq, Hint&& hint, Item&& item) {
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_CheckExact(seq)) {
    hint(PyList_GET_SIZE(seq));
    // Indexing with the size re-read each step is exactly what the list
    // iterator does, so an item's __float__ that mutates the list is safe.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      PyObject* it = PyList_GET_ITEM(seq, i);
      Py_INCREF(it);
      const bool ok = item(it);
      Py_DECREF(it);
      if (!ok) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    hint(n);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!item(PyTuple_GET_ITEM(seq, i))) return false;
    return true;
  }
  if (!PySequence_Check(seq)) return type_error_not_convertible(seq, "Sequence");
  // The reported length is only a capacity hint; a failure to report it is
  // forgotten and the items are still read by iteration.
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0)
    PyErr_Clear();
  else
    hint(n);
  PyObject* iter = PyObject_GetIter(seq);
  if (!iter) return false;
  while (PyObject* it = PyIter_Next(iter)) {
    const bool ok = item(it);
    Py_DECREF(it);
    if (!ok) {
      Py_DECREF(iter);
      return false;
    }
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

}  // namespace sarvek::py
