#pragma once

// One way to define a class of the module: a ClassSpec names the class, its
// documentation and text signature, its object layout and slots, and its
// methods; create_class turns it into a final heap type "sarvek.<name>"
// whose docstrings use the signature-embedding form, so CPython reports
// __text_signature__ and a clean __doc__.

#include <Python.h>

#include <new>
#include <string>
#include <vector>

#include "python/convert.h"
#include "python/guard.h"

namespace sarvek::py {

struct MethodSpec {
  const char* name;
  PyCFunction function;  // cast from the fastcall or noargs signature
  int flags;             // METH_NOARGS, METH_FASTCALL | METH_KEYWORDS
  const char* signature;  // "($self)", "($self, values)"
  std::string doc;
};

struct ClassSpec {
  const char* name;       // bare class name, "Sma"
  std::string signature;  // "(inputs, window, outputs)"
  std::string doc;
  int basicsize;
  newfunc tp_new;
  destructor tp_dealloc;
  reprfunc tp_repr = nullptr;    // null: the default object repr
  lenfunc sq_length = nullptr;   // null: no __len__
  std::vector<MethodSpec> methods;
  std::vector<PyType_Slot> slots = {};  // any further slots (buffer, getset)
};

// Builds the type object; it lives until the process ends. Returns null
// with a Python exception set on failure.
PyTypeObject* create_class(const ClassSpec& spec);

// An instance: the object header followed by a C++ payload, which is built
// in place after the generic allocation and destroyed before the memory is
// freed. Instances hold no references to other Python objects.
template <class Payload>
struct Instance {
  PyObject_HEAD
  Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) {
  return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

template <class Payload>
PyObject* new_instance(PyTypeObject* type, Payload&& payload) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&payload_of<Payload>(self)) Payload(std::move(payload));
  return self;
}

template <class Payload>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  payload_of<Payload>(self).~Payload();
  type->tp_free(self);
  Py_DECREF(type);
}

// The body of a method on an instance whose payload carries an access
// guard: takes the guard (exclusively for methods that change the object,
// shared for those that read it), runs `body(payload)` and releases, all
// inside the exception boundary.
template <class Payload, bool Exclusive, class Body>
PyObject* guarded(PyObject* self, Body&& body) {
  return boundary([&]() -> PyObject* {
    Payload& p = payload_of<Payload>(self);
    Hold<Exclusive> hold(p.guard);
    if (!hold) return nullptr;
    return body(p);
  });
}

template <class Payload, class Body>
PyObject* reading(PyObject* self, Body&& body) {
  return guarded<Payload, false>(self, std::forward<Body>(body));
}

template <class Payload, class Body>
PyObject* writing(PyObject* self, Body&& body) {
  return guarded<Payload, true>(self, std::forward<Body>(body));
}

// The __len__ slot: `count(payload)` under a shared hold, OverflowError
// when it does not fit a Py_ssize_t.
template <class Payload, class Count>
Py_ssize_t guarded_len(PyObject* self, Count&& count) {
  return boundary(
      [&]() -> Py_ssize_t {
        Payload& p = payload_of<Payload>(self);
        SharedHold hold(p.guard);
        if (!hold) return -1;
        const std::size_t n = count(p);
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
          PyErr_SetNone(PyExc_OverflowError);
          return -1;
        }
        return static_cast<Py_ssize_t>(n);
      },
      Py_ssize_t{-1});
}

// A method table holds every C function as a PyCFunction.
template <class F>
PyCFunction as_method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

// A class of the module: its name and its type object.
struct ClassEntry {
  const char* name;
  PyTypeObject* type;
};

}  // namespace sarvek::py
