#pragma once

#include <Python.h>

namespace sarvek::py {

// The private _Universe class of `module` (a new reference); null with an
// exception set on failure.
PyTypeObject* universe_class(PyObject* module);

}  // namespace sarvek::py
