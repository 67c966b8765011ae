#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/interrupt.h"
#include "pool/cancel.h"

#include <utility>

namespace vb::module {

// Thrown by boundary helpers whose C-API call failed: a Python exception is
// already set and must be left as it is.
struct PyErrSet {};

// An owned (strong) reference. The only place that calls Py_DECREF.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; a null one means a Python error is set.
  static PyRef steal(PyObject* obj) {
    if (obj == nullptr) throw PyErrSet{};
    return PyRef(obj);
  }
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  // Hands the reference over to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset() {
    PyObject* obj = std::exchange(obj_, nullptr);
    Py_XDECREF(obj);
  }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Throws PyErrSet when a C-API call reported failure through a -1 / null result.
inline void check(int status) {
  if (status < 0) throw PyErrSet{};
}

// Releases the interpreter lock for its lifetime and takes it back in its
// destructor, also when an exception unwinds through it. Meanwhile the engine's
// call can be interrupted: a signal handler that raises cancels it (the engine
// throws pool::Cancelled), and the handler's exception is the call's error.
// A mutation past the start of its install is no longer polled: it returns
// normally and its signal stays pending for the interpreter to deliver, so a
// call that raised never installed anything (the front relies on this).
class GilRelease {
 public:
  GilRelease() : state_(release_for_engine()), watch_(&poll_signals, &state_) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  pool::ScopedWatch watch_;
};

}  // namespace vb::module
