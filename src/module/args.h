#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "base/metric.h"

namespace vb::module {

// A callable's parameter list: names in signature order, the first `required`
// of them without a default.
struct Signature {
  const char* function;                       // for messages, e.g. "build"
  std::initializer_list<const char*> names;
  std::size_t required;
};

// Binds a fast call (positional arguments, then keyword names) to the
// parameters: out[i] receives a borrowed reference or null for an omitted
// optional parameter. Too many positional arguments, an unknown or repeated
// keyword and a missing required argument raise TypeError (PyErrSet).
void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out);

// The same for a call with an argument tuple and an optional keyword dict.
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Adds the note "while processing '<name>'" to the pending exception.
void add_parameter_note(const char* name) noexcept;

// Conversions of scalar parameters; a failure raises the interpreter's own
// error with the parameter note (PyErrSet).
std::uint64_t to_u64(PyObject* obj, const char* name);  // int, else __index__
std::int64_t to_i64(PyObject* obj, const char* name);
double to_f64(PyObject* obj, const char* name);          // float, else __float__ / __index__
// "l1" or "l2" (the package maps aliases); ValueError (ArgumentError) otherwise.
Metric to_metric(PyObject* obj);

}  // namespace vb::module
