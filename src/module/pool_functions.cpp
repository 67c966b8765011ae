#include "module/pool_functions.h"

#include <string>

#include "base/errors.h"
#include "module/guard.h"
#include "module/py_ref.h"
#include "pool/call_threads.h"
#include "pool/pool.h"

namespace vb::module {
namespace {

PyObject* pool_threads(PyObject*, PyObject*) {
  return guard([&] {
    PyObject* count = PyLong_FromSize_t(pool::num_threads());
    if (count == nullptr) throw PyErrSet{};
    return count;
  });
}

// The engine's methods run their loops on the thread that calls them (with the
// interpreter lock released), so a thread-local count set around the call
// reaches every loop of it and of nothing else.
PyObject* call_with_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given < 2) throw ArgumentError("call_with_threads needs a thread count and a callable");
    PyObject* count = PyTuple_GET_ITEM(args, 0);
    if (!PyLong_Check(count)) throw ArgumentError("threads must be a non-negative integer");
    const std::size_t threads = PyLong_AsSize_t(count);
    if (threads == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      throw ArgumentError("threads must be a non-negative integer");
    }
    PyObject* func = PyTuple_GET_ITEM(args, 1);
    if (!PyCallable_Check(func)) throw ArgumentError("call_with_threads needs a callable after the thread count");
    PyRef rest = PyRef::steal(PyTuple_GetSlice(args, 2, given));
    if (!rest) throw PyErrSet{};
    pool::ScopedCallThreads scope(threads);
    PyObject* result = PyObject_Call(func, rest.get(), kwargs);
    if (result == nullptr) throw PyErrSet{};
    return result;
  });
}

}  // namespace

PyMethodDef pool_threads_function() {
  return {"pool_threads", pool_threads, METH_NOARGS,
          "pool_threads()\n--\n\nThe number of worker threads of this module's pool."};
}

PyMethodDef call_with_threads_function() {
  return {"call_with_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_with_threads)),
          METH_VARARGS | METH_KEYWORDS,
          "call_with_threads(threads, func, /, *args, **kwargs)\n--\n\n"
          "func(*args, **kwargs) with the loops of this module's engine on at most `threads`\n"
          "threads (0: all of the pool's; 1: the calling thread alone)."};
}

}  // namespace vb::module
