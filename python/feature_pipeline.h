#pragma once

#include <Python.h>

namespace sarvek::py {

// A new FeaturePipeline class of `module` (a new reference). Null with an
// exception set on failure.
PyTypeObject* feature_pipeline_class(PyObject* module);

}  // namespace sarvek::py
