#pragma once

// The binding's reading of the core catalogue (core/catalog.h): class
// signatures, argument conversion, reprs and plain-data forms are derived
// from a type's parameters, and `_catalog()` and the pipelines' `_plan()`
// export the descriptions and plans as plain data.

#include <Python.h>

#include <string>
#include <vector>

#include "core/catalog.h"
#include "core/pipeline/plan.h"

namespace sarvek::py {

// Parameter names, for binding arguments.
std::vector<const char*> param_names(const std::vector<ParamDescription>& params);
// How many parameters are required (those without a default come first).
std::size_t required_params(const std::vector<ParamDescription>& params);
// "(inputs, window, outputs, fast=2, slow=30)"
std::string text_signature(const std::vector<ParamDescription>& params);

// Converts bound[i] (null when left out) for each parameter into `out`.
// False with an exception set (naming the parameter) on failure.
bool to_arguments(const std::vector<ParamDescription>& params, PyObject* const* bound, Arguments& out);

// "Name(inputs=["a"], window=3, outputs=["b"])": the required parameters;
// for a package class also every other parameter set to a value other than
// its default ("k=1.5"), so two differently set objects never read alike.
// The module's fixed classes show the required parameters only.
std::string arguments_repr(const char* name, Visibility visibility, const std::vector<ParamDescription>& params,
                           const Arguments& args);
template <class Description>
std::string arguments_repr(const Description& d, const Arguments& args) {
  return arguments_repr(d.name, d.visibility, d.params, args);
}

// {"type": name, <param>: <value>, ...}, every parameter. New reference or
// null with an exception set.
PyObject* arguments_dict(const char* name, const std::vector<ParamDescription>& params, const Arguments& args);

// The module functions the catalogue adds (`_catalog`).
PyMethodDef* catalog_functions();

// The plans as plain data; new references or null with an exception set.
PyObject* new_plan_dict(const FeaturePlan& plan);
PyObject* new_plan_dict(const TargetPlan& plan);

}  // namespace sarvek::py
