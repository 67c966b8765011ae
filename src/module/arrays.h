#pragma once

#include "module/numpy_api.h"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/buffer.h"
#include "module/py_ref.h"

namespace vb::module {

// An array argument of an exact kind (ndarray or subclass, a number of
// dimensions, a dtype equivalent to the one asked), held for the whole call.
// Nothing is converted: anything else is a TypeError naming the parameter.
class ArrayArg {
 public:
  static ArrayArg convert(PyObject* obj, int ndim, int typenum, const char* name);
  // None or an omitted argument (null) gives no array.
  static std::optional<ArrayArg> convert_optional(PyObject* obj, int ndim, int typenum, const char* name);

  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(ref_.get()); }
  std::size_t dim(int i) const { return static_cast<std::size_t>(PyArray_DIM(array(), i)); }
  std::size_t size() const { return static_cast<std::size_t>(PyArray_SIZE(array())); }

  // The elements in row order, copied into an owned buffer. A non-empty array
  // must be aligned and C- or Fortran-contiguous (a Fortran-ordered matrix is
  // transposed while copying, so rows stay rows); otherwise TypeError.
  // Requires: T matches the dtype the array was converted with.
  Buffer<double> copy_f64() const;
  Buffer<std::int64_t> copy_i64() const;

 private:
  explicit ArrayArg(PyRef ref) : ref_(std::move(ref)) {}
  template <class T>
  Buffer<T> copy_rows() const;
  PyRef ref_;
};

// A 1-D array over the buffer, without a copy: the buffer moves into a small
// owner object (the array's base) that frees it with the last array viewing it.
PyRef to_array(Buffer<std::int64_t>&& buffer);
PyRef to_array(Buffer<double>&& buffer);

// A (rows, cols) view of a 1-D array; its base is that array.
PyRef reshape(const PyRef& flat, std::size_t rows, std::size_t cols);

}  // namespace vb::module
