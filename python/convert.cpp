#include "python/convert.h"


namespace sarvek::py {

PyObject* raise_core_error(const CoreError& err) {
  const std::string text = err.message();
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!msg) return nullptr;
  PyErr_SetObject(PyExc_ValueError, msg);
  Py_DECREF(msg);
  return nullptr;
}

PyObject* raise_unsupported(const char* kind, PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (!name) return nullptr;
  PyErr_Format(PyExc_ValueError, "unsupported %s type: %U", kind, name);
  Py_DECREF(name);
  return nullptr;
}

void prefix_type_error(const char* param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {  // a subclass propagates unchanged
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  PyObject* msg = text ? PyUnicode_FromFormat("argument '%s': %U", param, text) : nullptr;
  Py_XDECREF(text);
  PyObject* replacement = msg ? PyObject_CallOneArg(PyExc_TypeError, msg) : nullptr;
  Py_XDECREF(msg);
  if (!replacement) {  // could not build the new error: keep the original
    PyErr_Restore(type, value, tb);
    return;
  }
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement, cause);  // steals
  Py_DECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
}

bool type_error_not_convertible(PyObject* obj, const char* target) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname, target);
  Py_DECREF(qualname);
  return false;
}

// ------------------------------------------------------- argument binding

namespace {

// Shared by both binders: `keyword(i, name, value)` enumerates the keyword
// arguments as borrowed references.
template <class Keywords>
bool bind(const char* fname, std::span<const char* const> params, std::size_t required,
          PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, Keywords&& keyword, PyObject** out) {
  const auto nparams = static_cast<Py_ssize_t>(params.size());
  if (nargs > nparams) {
    if (nparams == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname, nparams,
                   nparams == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *name, *value;
    keyword(k, name, value);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    // The whole name is compared, character for character: an embedded NUL
    // or a lone surrogate simply makes a name that is not a parameter.
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < nparams; ++i)
      if (PyUnicode_CompareWithASCIIString(name, params[i]) == 0) slot = i;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, name);
      return false;
    }
    if (slot < nargs) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname,
                   params[slot], slot + 1);
      return false;
    }
    out[slot] = value;
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, params[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_fastcall(const char* fname, std::span<const char* const> params, std::size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  return bind(fname, params, required, args, nargs, nkw,
              [&](Py_ssize_t k, PyObject*& name, PyObject*& value) {
                name = PyTuple_GET_ITEM(kwnames, k);
                value = args[nargs + k];
              },
              out);
}

bool keyword_only(const char* fname, std::size_t positional, Py_ssize_t nargs) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (given <= positional) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)", fname, positional,
               positional == 1 ? "" : "s", given);
  return false;
}

bool to_truth(PyObject* obj, bool& out) {
  if (!obj) return true;
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool bind_tuple(const char* fname, std::span<const char* const> params, std::size_t required,
                PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  Py_ssize_t pos = 0;
  return bind(fname, params, required, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nkw,
              [&](Py_ssize_t, PyObject*& name, PyObject*& value) { PyDict_Next(kwargs, &pos, &name, &value); },
              out);
}

// ------------------------------------------------------------ conversions

namespace {

bool str_to_utf8(PyObject* obj, std::string& out) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

bool to_names(PyObject* obj, const char* param, Names& out) {
  const bool ok = for_each_item(
      obj, [&](Py_ssize_t n) { out.reserve(capacity_hint(n)); },
      [&](PyObject* item) {
        if (!PyUnicode_Check(item)) return type_error_not_convertible(item, "PyString");
        std::string name;
        if (!str_to_utf8(item, name)) return false;
        out.push_back(std::move(name));
        return true;
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

bool to_string(PyObject* obj, const char* param, std::string& out) {
  const bool ok = PyUnicode_Check(obj) ? str_to_utf8(obj, out) : type_error_not_convertible(obj, "PyString");
  if (!ok) prefix_type_error(param);
  return ok;
}

bool to_size(PyObject* obj, const char* param, std::size_t& out) {
  static_assert(sizeof(unsigned long long) == sizeof(std::size_t));
  PyObject* index = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  bool ok = false;
  if (index) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    ok = !(v == static_cast<unsigned long long>(-1) && PyErr_Occurred());
    if (ok) out = static_cast<std::size_t>(v);
  }
  if (!ok) prefix_type_error(param);
  return ok;
}

bool to_real(PyObject* obj, const char* param, double& out) {
  const double v = PyFloat_AsDouble(obj);
  const bool ok = !(v == -1.0 && PyErr_Occurred());
  if (ok) out = v;
  else prefix_type_error(param);
  return ok;
}

bool to_objects(PyObject* obj, const char* param, ObjectList& out) {
  const bool ok = for_each_item(
      obj, [&](Py_ssize_t n) { out.reserve(capacity_hint(n)); },
      [&](PyObject* item) {
        out.push_back(item);
        return true;
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

bool to_value_rows(PyObject* obj, const char* param, ValueRows& out) {
  SignalCounter signals;
  const bool ok = for_each_item(
      obj, [&](Py_ssize_t n) { out.offsets.reserve(capacity_hint(n) + 1); },
      [&](PyObject* row) {
        const bool row_ok = for_each_item(
            row,
            [&](Py_ssize_t n) {
              // Grows geometrically: reserving the exact size bar after bar
              // would copy the whole dataset once per bar.
              const std::size_t need = out.values.size() + capacity_hint(n);
              if (need > out.values.capacity()) out.values.reserve(std::max(need, 2 * out.values.capacity()));
            },
            [&](PyObject* item) {
              Value v;
              if (!item_to_value(item, v)) return false;
              out.values.push_back(v);
              return signals.tick();
            });
        if (row_ok) out.offsets.push_back(out.values.size());
        return row_ok && signals.tick();
      });
  if (!ok) prefix_type_error(param);
  return ok;
}

// ---------------------------------------------------------------- results

PyObject* new_str(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

PyObject* new_str_list(const Names& names) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* s = new_str(names[i]);
    if (!s) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

PyObject* new_size(std::size_t n) { return PyLong_FromSize_t(n); }

PyObject* new_blank_float_list(std::size_t n) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* f = PyFloat_FromDouble(0.0);  // a new object every call, never shared
    if (!f) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
  }
  return list;
}

bool dict_set(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

}  // namespace sarvek::py
