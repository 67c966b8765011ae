#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Module functions about the worker pool, for the periodic engine's module:
//   pool_threads()  the worker threads of this module's pool;
//   call_with_threads(threads, func, /, *args, **kwargs)  func(*args, **kwargs),
//     its loops on at most `threads` threads (0: all of the pool's).
namespace vb::module {

// The method-table entries of the two functions.
PyMethodDef pool_threads_function();
PyMethodDef call_with_threads_function();

}  // namespace vb::module
