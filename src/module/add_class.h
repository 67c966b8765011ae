#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vb::module {

// Adds the class made by type_of() to `module` under `name` and appends the
// name to the module's __all__ (created when missing). Returns 0, or -1 with
// an exception set.
int add_class(PyObject* module, PyTypeObject* (*type_of)(), const char* name);

}  // namespace vb::module
