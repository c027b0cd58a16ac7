#pragma once

#include <Python.h>

namespace sarvek::py {

// A new TargetPipeline class of `module` (a new reference). Null with an
// exception set on failure.
PyTypeObject* target_pipeline_class(PyObject* module);

}  // namespace sarvek::py
