#include "module/cell_index_object.h"

#include "module/numpy_api.h"

#include <string>

#include "base/errors.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"

namespace vb::module {

namespace {
const Signature kSplitRows{"split_rows", {"values", "indptr"}, 2};
}

PyObject* split_rows(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    bind_fastcall(kSplitRows, args, nargsf, kwnames, a);
    if (!PyArray_Check(a[0]) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a[0])) != 1) {
      throw ArgumentError("values must be a one-dimensional array");
    }
    auto* values = reinterpret_cast<PyArrayObject*>(a[0]);
    const Buffer<std::int64_t> indptr = ArrayArg::convert(a[1], 1, NPY_INT64, "indptr").copy_i64();
    if (indptr.empty()) throw ArgumentError("indptr needs at least one entry");
    const npy_intp length = PyArray_DIM(values, 0);
    for (std::size_t i = 0; i < indptr.size(); ++i) {
      if (indptr[i] < (i == 0 ? 0 : indptr[i - 1]) || indptr[i] > length) {
        throw ArgumentError("indptr must be non-decreasing within [0, " + std::to_string(length) + "]");
      }
    }
    const npy_intp rows = static_cast<npy_intp>(indptr.size() - 1);
    PyRef out = PyRef::steal(PyArray_SimpleNew(1, const_cast<npy_intp*>(&rows), NPY_OBJECT));
    auto** slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    npy_intp stride = PyArray_STRIDE(values, 0);
    char* data = static_cast<char*>(PyArray_DATA(values));
    const int flags = PyArray_FLAGS(values) & NPY_ARRAY_WRITEABLE;
    for (npy_intp i = 0; i < rows; ++i) {
      npy_intp count = indptr[i + 1] - indptr[i];
      PyArray_Descr* descr = PyArray_DESCR(values);
      Py_INCREF(descr);  // stolen by the constructor
      PyRef view = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &count, &stride,
                                                     data + indptr[i] * stride, flags, nullptr));
      Py_INCREF(a[0]);  // stolen by SetBaseObject, even when it fails
      check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), a[0]));
      PyObject* previous = slots[i];  // None from the object array's creation
      slots[i] = view.release();
      Py_XDECREF(previous);
    }
    return out.release();
  });
}

}  // namespace vb::module
