#pragma once

#include <Python.h>

namespace sarvek::py {

// The TargetPipeline class, created on first use and kept for the life of
// the process. Null with an exception set on failure.
PyTypeObject* target_pipeline_class();

}  // namespace sarvek::py
