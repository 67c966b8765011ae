#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "module/args.h"
#include "module/borrow.h"
#include "module/guard.h"
#include "module/index_object.h"
#include "module/py_ref.h"

namespace vb::module {

// The frame of every method of RustLshIndex, in its fixed order: check the
// receiver, bind the arguments, take the borrow (Borrow: SharedBorrow or
// ExclusiveBorrow), then run `body(engine, bound)`, which converts and copies
// its arguments, calls the core through without_gil and builds the result.
// Everything runs inside guard, and the borrow is released on every exit.
template <class Borrow, std::size_t N, class Body>
PyObject* method_frame(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames, Body&& body) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    PyObject* bound[N];
    bind_fastcall(sig, args, nargsf, kwnames, bound);
    Borrow borrow(obj.borrow);
    return body(*obj.engine, bound);
  });
}

// The same frame for a method without arguments: `body(engine)`.
template <class Borrow, class Body>
PyObject* method_frame(PyObject* self, Body&& body) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    Borrow borrow(obj.borrow);
    return body(*obj.engine);
  });
}

// Runs the core's work with the interpreter lock released; the lock is held
// again when it returns or throws. The one place where methods let go of the
// lock, so that anything to be done while it is free belongs here.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  GilRelease unlocked;
  return std::forward<Work>(work)();
}

}  // namespace vb::module
