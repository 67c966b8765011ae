#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace vb::module {

// The process-wide object held in `slot`, made by make() on first use and kept
// for the life of the process. Concurrent first uses may each make one; the
// first to publish wins and the others drop theirs, so all callers see the
// same object. Returns a borrowed reference, or null with an exception set.
template <class Make>
PyObject* create_once(std::atomic<PyObject*>& slot, Make make) {
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = make();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace vb::module
