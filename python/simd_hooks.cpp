#include "python/simd_hooks.h"

#include <string>
#include <vector>

#include "core/simd/kernels.h"
#include "python/convert.h"

namespace sarvek::py {

namespace {

PyObject* simd_paths(PyObject*, PyObject*) {
  return boundary([]() -> PyObject* {
    const std::vector<std::string> paths = simd::available_paths();
    return new_str_list(Names(paths.begin(), paths.end()));
  });
}

PyObject* simd_path(PyObject*, PyObject*) {
  return boundary([]() -> PyObject* { return new_str(simd::current_path()); });
}

PyObject* set_simd_path(PyObject*, PyObject* name) {
  return boundary([&]() -> PyObject* {
    std::string text;
    if (!to_string(name, "name", text)) return nullptr;
    if (!simd::set_path(text)) {
      std::string known;
      for (const std::string& p : simd::available_paths()) known += (known.empty() ? "" : ", ") + p;
      PyErr_Format(PyExc_ValueError, "SIMD path %R is unknown or not supported by this CPU; available: %s", name,
                   known.c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_functions[] = {
    {"_simd_paths", simd_paths, METH_NOARGS,
     "_simd_paths()\n--\n\nThe SIMD paths of the column kernels this CPU can run, plainest first."},
    {"_simd_path", simd_path, METH_NOARGS, "_simd_path()\n--\n\nThe SIMD path column runs use now."},
    {"_set_simd_path", set_simd_path, METH_O,
     "_set_simd_path(name)\n--\n\nMakes every later column run use the named SIMD path (for tests: every "
     "path gives the same bits)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* simd_functions() { return g_functions; }

}  // namespace sarvek::py
