#include "module/guard.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "module/create_once.h"
#include "pool/cancel.h"

namespace vb::module {

namespace {

std::atomic<PyObject*> panic_type{nullptr};

PyObject* create_panic_type() {
  return PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "Raised when the engine detects an internal failure: a bounds or length check that failed.\n\n"
      "It derives from BaseException, so a plain `except Exception` does not catch it.",
      PyExc_BaseException, nullptr);
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed; that error is set
  PyErr_SetString(type, message);
}

}  // namespace

PyObject* panic_exception_type() { return create_once(panic_type, create_panic_type); }

void set_python_error(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) raise_panic("internal failure without a Python error");
  } catch (const pool::Cancelled&) {
    // A signal handler raised while the call ran; its exception is set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const ArgumentError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const BorrowError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal failure of unknown kind");
  }
}

}  // namespace vb::module
