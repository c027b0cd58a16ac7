#include "python/classdef.h"

#include <deque>

namespace sarvek::py {
namespace {

// Texts and tables that type objects point into must outlive them, and the
// types live for the whole process.
const char* keep(std::string s) {
  static std::deque<std::string> store;
  return store.emplace_back(std::move(s)).c_str();
}

PyMethodDef* keep(std::vector<PyMethodDef> defs) {
  static std::deque<std::vector<PyMethodDef>> store;
  return store.emplace_back(std::move(defs)).data();
}

}  // namespace

PyObject* raise_not_constructed(PyObject* self) {
  PyObject* name = PyType_GetName(Py_TYPE(self));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "this %U object was not built by its constructor", name);
  Py_DECREF(name);
  return nullptr;
}

PyTypeObject* create_class(PyObject* module, const ClassSpec& spec) {
  std::vector<PyMethodDef> defs;
  for (const MethodSpec& m : spec.methods)
    defs.push_back({m.name, m.function, m.flags,
                    keep(std::string(m.name) + m.signature + "\n--\n\n" + m.doc)});
  defs.push_back({nullptr, nullptr, 0, nullptr});

  const std::string doc = std::string(spec.name) + spec.signature + "\n--\n\n" + spec.doc;
  std::vector<PyType_Slot> slots = {
      {Py_tp_new, reinterpret_cast<void*>(spec.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec.tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},  // copied by CPython
      {Py_tp_methods, keep(std::move(defs))},
  };
  if (spec.tp_repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.tp_repr)});
  if (spec.sq_length) slots.push_back({Py_sq_length, reinterpret_cast<void*>(spec.sq_length)});
  slots.insert(slots.end(), spec.slots.begin(), spec.slots.end());
  slots.push_back({0, nullptr});

  // Final (no base-type flag), immutable (no attribute of the class, such as
  // __new__, can be replaced, and no instance can change its __class__), no
  // __dict__, no weak-reference slot.
  PyType_Spec type_spec = {keep(std::string("sarvek.") + spec.name), spec.basicsize, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

}  // namespace sarvek::py
