#pragma once

#include <Python.h>

#include <optional>

#include "core/pipeline/feature_pipeline.h"

namespace sarvek::py {

// A new FeaturePipeline class of `module` (a new reference). Null with an
// exception set on failure.
PyTypeObject* feature_pipeline_class(PyObject* module);

// A fresh copy (Feature::fresh, state not copied) of the core pipeline of
// `obj`, a FeaturePipeline of this module; empty with TypeError, naming
// `param`, for anything else.
std::optional<FeaturePipeline> fresh_pipeline_of(PyObject* obj, const char* param);

// The private functions saving and restoring a FeaturePipeline's state:
// _pipeline_state(pipeline) -> bytes and _restore_pipeline_state(pipeline,
// state), the latter all or nothing.
PyMethodDef* pipeline_state_functions();

}  // namespace sarvek::py
