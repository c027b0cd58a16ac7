#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "core/target.h"
#include "python/classdef.h"

namespace sarvek::py {

// Creates the target classes of `module`, in registration order, into their
// slots of its state. False with an exception set on failure.
bool target_classes(PyObject* module, ModuleState& state);

// A new core target built from the stored configuration of a target
// object. Returns null: with an exception set when the target cannot be
// built, without one when `obj` is not an instance of a target class.
std::unique_ptr<Target> fresh_target(PyObject* obj);

// A new dict describing a core target built by this module: "type" (the
// class name) and the constructor's keyword arguments ("inputs", "horizon",
// "outputs"; "input" and "horizon" for FutureCTCVolatility). Null with an
// exception set on failure.
PyObject* target_config_dict(const Target& t);

}  // namespace sarvek::py
