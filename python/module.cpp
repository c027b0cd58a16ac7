// Module initialisation: one module object per process, the classes
// registered in a fixed order that is also the order of __all__. The type
// objects live in the module's own state.

#include <Python.h>

#include <cstdint>

#include "python/catalog.h"
#include "python/classdef.h"
#include "python/feature_pipeline.h"
#include "python/features.h"
#include "python/result.h"
#include "python/simd_hooks.h"
#include "python/target_pipeline.h"
#include "python/targets.h"
#include "python/universe.h"

namespace sarvek::py {

namespace {

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state's type references, for the cycle collector: each type points
// back to the module.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (!state) return 0;
  for (PyTypeObject* type : state->types) Py_VISIT(type);
  Py_VISIT(state->result);
  Py_VISIT(state->universe);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  if (!state) return 0;
  for (PyTypeObject*& type : state->types) Py_CLEAR(type);
  Py_CLEAR(state->result);
  Py_CLEAR(state->universe);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

}  // namespace

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_sarvek",
    .m_doc = "",
    .m_size = sizeof(ModuleState),  // not -1: a re-import calls the initialiser, which returns the same object
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

namespace {

// The interpreter that loaded the module; any other is refused.
std::int64_t g_interpreter = -1;

// Whether the class in `slot` is one of the module's fixed, public classes.
bool is_module_class(std::size_t slot) {
  if (slot < kTargetSlot) return feature_catalog()[slot - kFeatureSlot]->visibility == Visibility::module;
  if (slot < kFeaturePipelineSlot) return target_catalog()[slot - kTargetSlot]->visibility == Visibility::module;
  return true;  // the pipelines
}

// Adds `type` to `where` under its name, and the name to `all`.
bool add_named(PyObject* where, PyObject* all, PyTypeObject* type) {
  PyObject* name = PyType_GetName(type);
  const char* utf8 = name ? PyUnicode_AsUTF8(name) : nullptr;
  const bool ok = utf8 && PyList_Append(all, name) == 0 &&
                  PyModule_AddObjectRef(where, utf8, reinterpret_cast<PyObject*>(type)) == 0;
  Py_XDECREF(name);
  return ok;
}

// The namespace of the package's classes, `_sarvek._classes`: a module of
// its own (with __all__), registered in sys.modules so that
// `from _sarvek._classes import *` finds it.
PyObject* classes_namespace(PyObject* module, PyObject*& all) {
  PyObject* ns = PyModule_New("_sarvek._classes");
  all = ns ? PyList_New(0) : nullptr;
  bool ok = all && PyModule_AddObjectRef(ns, "__all__", all) == 0 &&
            PyModule_AddStringConstant(ns, "__doc__",
                                       "The feature and target classes the sarvek package exports beside "
                                       "the fixed classes of _sarvek.") == 0 &&
            PyModule_AddObjectRef(module, "_classes", ns) == 0;
  if (ok) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    ok = PyDict_SetItemString(modules, "_sarvek._classes", ns) == 0;
  }
  if (!ok) {
    Py_CLEAR(all);
    Py_CLEAR(ns);
  }
  return ns;
}

bool add_classes(PyObject* module, ModuleState& state) {
  if (!feature_classes(module, state) || !target_classes(module, state)) return false;
  if (!(state.types[kFeaturePipelineSlot] = feature_pipeline_class(module))) return false;
  if (!(state.types[kTargetPipelineSlot] = target_pipeline_class(module))) return false;
  PyObject* all = PyList_New(0);
  bool ok = all && PyModule_AddObjectRef(module, "__all__", all) == 0;
  PyObject* package_all = nullptr;
  PyObject* ns = ok ? classes_namespace(module, package_all) : nullptr;
  ok = ok && ns;
  for (std::size_t slot = 0; ok && slot < kClassCount; ++slot)
    ok = is_module_class(slot) ? add_named(module, all, state.types[slot])
                               : add_named(ns, package_all, state.types[slot]);
  Py_XDECREF(package_all);
  Py_XDECREF(ns);
  Py_XDECREF(all);
  // Private, outside __all__: the type of the column results, the
  // functions choosing the SIMD path, saving pipeline states, and the
  // universe of many symbols.
  ok = ok && (state.result = result_class(module)) != nullptr &&
       PyModule_AddObjectRef(module, "_Result", reinterpret_cast<PyObject*>(state.result)) == 0 &&
       PyModule_AddFunctions(module, simd_functions()) == 0 &&
       PyModule_AddFunctions(module, catalog_functions()) == 0 &&
       PyModule_AddFunctions(module, pipeline_state_functions()) == 0 &&
       (state.universe = universe_class(module)) != nullptr &&
       PyModule_AddObjectRef(module, "_Universe", reinterpret_cast<PyObject*>(state.universe)) == 0;
  return ok;
}

PyObject* create_module() {
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  ModuleState* state = state_of(module);  // zeroed
  if (!add_classes(module, *state)) {
    // The state's references are kept: types already made point into the
    // module, which is not reused.
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace sarvek::py

PyMODINIT_FUNC PyInit__sarvek(void) {
  using namespace sarvek::py;
  return boundary([]() -> PyObject* {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    if (g_interpreter < 0) {
      g_interpreter = id;
    } else if (g_interpreter != id) {
      PyErr_SetString(PyExc_ImportError, "_sarvek can only be loaded by one interpreter per process");
      return nullptr;
    }
    // Once made, the module is registered with the interpreter for its
    // definition; a re-import finds it there.
    if (PyObject* existing = PyState_FindModule(&module_def)) return Py_NewRef(existing);
    if (PyErr_Occurred()) return nullptr;
    return create_module();
  });
}
