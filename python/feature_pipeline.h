#pragma once

#include <Python.h>

namespace sarvek::py {

// The FeaturePipeline class, created on first use and kept for the life of
// the process. Null with an exception set on failure.
PyTypeObject* feature_pipeline_class();

}  // namespace sarvek::py
