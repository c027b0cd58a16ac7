#pragma once

// One way to define a class of the module: a ClassSpec names the class, its
// documentation and text signature, its object layout and slots, and its
// methods; create_class turns it into a final, immutable heap type
// "sarvek.<name>" of the module, whose docstrings use the
// signature-embedding form, so CPython reports __text_signature__ and a
// clean __doc__.

#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/catalog.h"
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

// ------------------------------------------------------------ the module

// The classes of the module, in registration order: the feature classes,
// the target classes (each the catalogue's, its fixed classes first), then
// the pipelines. The fixed classes and the pipelines, in this order, are
// the module's public names and its __all__; the others are the package's
// and sit in the module's private `_classes` namespace.
inline constexpr std::size_t kFeatureSlot = 0;
inline constexpr std::size_t kFeatureCount = kFeatureTypeCount;
inline constexpr std::size_t kTargetSlot = kFeatureSlot + kFeatureCount;
inline constexpr std::size_t kTargetCount = kTargetTypeCount;
inline constexpr std::size_t kFeaturePipelineSlot = kTargetSlot + kTargetCount;
inline constexpr std::size_t kTargetPipelineSlot = kFeaturePipelineSlot + 1;
inline constexpr std::size_t kClassCount = kTargetPipelineSlot + 1;

// The module's own state: its type objects (strong references, kept for
// the life of the module and shown to the cycle collector, as each type
// points back to the module).
struct ModuleState {
  PyTypeObject* types[kClassCount];
  PyTypeObject* result;  // the private _Result type of column runs
  PyTypeObject* universe;  // the private _Universe type
};

extern PyModuleDef module_def;

// The state of the module that defined `type`; null, without an exception,
// when `type` is not a class of this module.
inline ModuleState* module_state(PyTypeObject* type) {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
  PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
  if (!module || !PyModule_Check(module) || PyModule_GetDef(module) != &module_def) return nullptr;
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The index of `type` among the `count` classes of its module from `first`
// on; -1 when it is none of them.
inline std::ptrdiff_t slot_of(PyTypeObject* type, std::size_t first, std::size_t count) {
  const ModuleState* state = module_state(type);
  if (!state) return -1;
  for (std::size_t i = 0; i < count; ++i)
    if (state->types[first + i] == type) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

// Builds the type object of `module`. Returns null with a Python exception
// set on failure.
PyTypeObject* create_class(PyObject* module, const ClassSpec& spec);

// ------------------------------------------------------------- instances

// An instance: the object header followed by a C++ payload, which is built
// in place after the generic allocation and destroyed before the memory is
// freed. `constructed` (zeroed by the allocation) is set once the payload
// is built, so an object that got its memory some other way is refused by
// every method instead of reaching an unbuilt payload. Instances hold no
// references to other Python objects.
template <class Payload>
struct Instance {
  PyObject_HEAD
  bool constructed;
  Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) {
  return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

template <class Payload>
bool is_constructed(PyObject* self) {
  return reinterpret_cast<Instance<Payload>*>(self)->constructed;
}

// TypeError for an object whose payload was never built; returns null.
PyObject* raise_not_constructed(PyObject* self);

// The payload, or null with TypeError set when it was never built.
template <class Payload>
Payload* built_payload(PyObject* self) {
  if (is_constructed<Payload>(self)) return &payload_of<Payload>(self);
  raise_not_constructed(self);
  return nullptr;
}

template <class Payload>
PyObject* new_instance(PyTypeObject* type, Payload&& payload) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  try {
    new (&payload_of<Payload>(self)) Payload(std::move(payload));
  } catch (...) {
    Py_DECREF(self);  // not constructed: the payload is not destroyed
    throw;
  }
  reinterpret_cast<Instance<Payload>*>(self)->constructed = true;
  return self;
}

template <class Payload>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (is_constructed<Payload>(self)) payload_of<Payload>(self).~Payload();
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
    Payload* p = built_payload<Payload>(self);
    if (!p) return nullptr;
    Hold<Exclusive> hold(p->guard);
    if (!hold) return nullptr;
    return body(*p);
  });
}

// Two steps: `compute(payload)` under the exclusive hold returns a
// std::optional (empty with an exception set on failure) of a result that no
// longer refers to the object's state; the hold is released, then
// `build(result)` makes the Python objects, so allocation (and whatever a
// collection it starts may run) happens outside the hold.
template <class Payload, class Compute, class Build>
PyObject* writing_then(PyObject* self, Compute&& compute, Build&& build) {
  return boundary([&]() -> PyObject* {
    Payload* p = built_payload<Payload>(self);
    if (!p) return nullptr;
    decltype(compute(*p)) result;
    {
      ExclusiveHold hold(p->guard);
      if (!hold) return nullptr;
      result = compute(*p);
    }
    if (!result) return nullptr;
    return build(*result);
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
        Payload* p = built_payload<Payload>(self);
        if (!p) return -1;
        SharedHold hold(p->guard);
        if (!hold) return -1;
        const std::size_t n = count(*p);
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

}  // namespace sarvek::py
