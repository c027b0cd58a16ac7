#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "core/feature.h"
#include "python/classdef.h"

namespace sarvek::py {

// Creates the feature classes of `module`, in registration order, into their
// slots of its state. False with an exception set on failure.
bool feature_classes(PyObject* module, ModuleState& state);

// A new core feature with the configuration of a feature object and the
// state of a just-built one. Returns null: with an exception set when the
// object's guard cannot be taken or the object was never built, without one
// when `obj` is not an instance of a feature class.
std::unique_ptr<Feature> fresh_feature(PyObject* obj);

// A new dict describing a core feature built by this module: "type" (the
// class name) and the constructor's keyword arguments ("inputs", "window",
// "outputs", and "fast" and "slow" for Kama). Null with an exception set on
// failure.
PyObject* feature_config_dict(const Feature& f);

}  // namespace sarvek::py
