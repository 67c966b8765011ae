#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "base/errors.h"
#include "module/py_ref.h"

namespace vb::module {

// Sets the pending Python exception for the C++ exception being handled:
//   PyErrSet          -> the error already set stays;
//   pool::Cancelled   -> the signal handler's error already set stays;
//   ArgumentError     -> ValueError with its message;
//   BorrowError       -> RuntimeError with its message;
//   std::bad_alloc    -> MemoryError;
//   everything else   -> PanicException (base BaseException) with its text.
void set_python_error(std::exception_ptr error) noexcept;

// Runs `body` and turns any exception into a pending Python exception. Every C
// entry point of the module returns through it, so no C++ exception ever
// crosses into the interpreter. `failed` is the C-API failure value.
template <class Result, class Body>
Result guard(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error(std::current_exception());
    return failed;
  }
}

template <class Body>
PyObject* guard(Body&& body) noexcept {
  return guard<PyObject*>(nullptr, static_cast<Body&&>(body));
}

// The module-private PanicException class (created once per process).
PyObject* panic_exception_type();

}  // namespace vb::module
