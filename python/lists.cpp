#include "python/lists.h"

#include "python/convert.h"

namespace sarvek::py {

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

}  // namespace sarvek::py
