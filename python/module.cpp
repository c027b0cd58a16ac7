// Module initialisation: one module object per process, the classes
// registered in a fixed order that is also the order of __all__.

#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "python/buffers.h"
#include "python/feature_pipeline.h"
#include "python/features.h"
#include "python/target_pipeline.h"
#include "python/targets.h"

namespace sarvek::py {
namespace {

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "_sarvek",
    "",
    0,  // not -1: a re-import calls the initialiser, which returns the same object
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

PyObject* create_module() {
  std::vector<ClassEntry> classes;
  if (!feature_classes(classes)) return nullptr;
  if (!target_classes(classes)) return nullptr;
  using MakeClass = PyTypeObject* (*)();
  const std::pair<const char*, MakeClass> pipelines[] = {{"FeaturePipeline", feature_pipeline_class},
                                                         {"TargetPipeline", target_pipeline_class}};
  for (const auto& [name, make] : pipelines) {
    PyTypeObject* type = make();
    if (!type) return nullptr;
    classes.push_back({name, type});
  }

  PyObject* module = PyModule_Create(&g_def);
  if (!module) return nullptr;
  PyObject* all = PyList_New(0);
  bool ok = all && PyModule_AddObjectRef(module, "__all__", all) == 0;
  for (const ClassEntry& c : classes) {
    if (!ok) break;
    PyObject* name = PyUnicode_FromString(c.name);
    ok = name && PyList_Append(all, name) == 0 &&
         PyModule_AddObjectRef(module, c.name, reinterpret_cast<PyObject*>(c.type)) == 0;
    Py_XDECREF(name);
  }
  Py_XDECREF(all);
  // Private, outside __all__: the type of the column results.
  PyTypeObject* result = ok ? result_class() : nullptr;
  ok = result && PyModule_AddObjectRef(module, "_Result", reinterpret_cast<PyObject*>(result)) == 0 &&
       PyModule_AddFunctions(module, column_functions()) == 0;
  if (!ok) {
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
    if (!g_module) g_module = create_module();  // kept for the life of the process
    return Py_XNewRef(g_module);
  });
}
