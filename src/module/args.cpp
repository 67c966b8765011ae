#include "module/args.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"
#include "module/py_ref.h"

namespace vb::module {

namespace {

[[noreturn]] void type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PyErrSet{};
}

std::string qualified(const Signature& sig) { return std::string(sig.function) + "()"; }

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  std::size_t i = 0;
  for (const char* name : sig.names) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (out[i] != nullptr) type_error(qualified(sig) + " got multiple values for argument '" + name + "'");
      out[i] = value;
      return;
    }
    ++i;
  }
  PyRef text = PyRef::steal(PyObject_Str(key));
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) throw PyErrSet{};
  type_error(qualified(sig) + " got an unexpected keyword argument '" + utf8 + "'");
}

void place_positional(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject** out) {
  const std::size_t n = sig.names.size();
  for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > n) {
    type_error(qualified(sig) + " takes " + std::to_string(n) + " positional arguments but " +
               std::to_string(nargs) + " were given");
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
}

void check_required(const Signature& sig, PyObject** out) {
  std::size_t i = 0;
  for (const char* name : sig.names) {
    if (i < sig.required && out[i] == nullptr) {
      type_error(qualified(sig) + " missing required argument '" + name + "' (pos " + std::to_string(i + 1) + ")");
    }
    ++i;
  }
}

}  // namespace

void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out) {
  const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  place_positional(sig, args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)], out);
    }
  }
  check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  place_positional(sig, positional.data(), positional.size(), out);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  check_required(sig, out);
}

void add_parameter_note(const char* name) noexcept {
  const std::string note = std::string("while processing '") + name + "'";
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
  if (result == nullptr) {
    PyErr_Clear();  // keep the original error rather than one about its note
  } else {
    Py_DECREF(result);
  }
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  if (value != nullptr) {
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (result == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(result);
    }
  }
  PyErr_Restore(type, value, traceback);
#endif
}

std::uint64_t to_u64(PyObject* obj, const char* name) {
  PyRef as_int;
  PyObject* number = obj;
  if (!PyLong_CheckExact(obj)) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
      add_parameter_note(name);
      throw PyErrSet{};
    }
    as_int = PyRef::steal(index);
    number = index;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    add_parameter_note(name);
    throw PyErrSet{};
  }
  return value;
}

std::int64_t to_i64(PyObject* obj, const char* name) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    add_parameter_note(name);
    throw PyErrSet{};
  }
  return value;
}

double to_f64(PyObject* obj, const char* name) {
  const double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    add_parameter_note(name);
    throw PyErrSet{};
  }
  return value;
}

// The metric named by a str argument: "l1" or "l2" (the package maps aliases).
Metric to_metric(PyObject* obj) {
  const char* name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
  if (name == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "'%s' object is not a str", Py_TYPE(obj)->tp_name);
    add_parameter_note("metric");
    throw PyErrSet{};
  }
  if (std::strcmp(name, "l1") == 0) return Metric::kL1;
  if (std::strcmp(name, "l2") == 0) return Metric::kL2;
  throw ArgumentError(std::string("metric must be 'l1' or 'l2', got '") + name + "'");
}

}  // namespace vb::module
