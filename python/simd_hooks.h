#pragma once

// Private module functions choosing the SIMD path of the column kernels,
// for tests that run every path: _simd_paths() (the names this CPU can run,
// plainest first), _simd_path() (the current one) and _set_simd_path(name).

#include <Python.h>

namespace sarvek::py {

PyMethodDef* simd_functions();

}  // namespace sarvek::py
