#include "module/arrays.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/errors.h"
#include "module/args.h"
#include "module/create_once.h"

namespace vb::module {

namespace {

// Owner object of a result buffer: the base of the arrays that view it.
struct SliceContainer {
  PyObject_HEAD
  void* owner;
  void (*release)(void*);
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr) container->release(container->owner);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of arrays returned by the engine.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

std::atomic<PyObject*> slice_container_type{nullptr};

PyTypeObject* container_type() {
  return reinterpret_cast<PyTypeObject*>(
      create_once(slice_container_type, [] { return PyType_FromSpec(&slice_container_spec); }));
}

[[noreturn]] void kind_error(PyObject* obj, const char* name) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
  } else {
    PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'ndarray'", qualname.get());
  }
  add_parameter_note(name);
  throw PyErrSet{};
}

[[noreturn]] void contiguity_error() {
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  throw PyErrSet{};
}

template <class T>
void release_buffer(void* owner) {
  delete static_cast<Buffer<T>*>(owner);
}

// Empty buffers may have no storage; NumPy still wants a valid, aligned pointer.
alignas(16) std::int64_t empty_storage[2] = {0, 0};

template <class T>
PyRef wrap(Buffer<T>&& buffer, int typenum) {
  PyTypeObject* type = container_type();
  if (type == nullptr) throw PyErrSet{};
  auto owned = std::make_unique<Buffer<T>>(std::move(buffer));
  npy_intp length = static_cast<npy_intp>(owned->size());
  npy_intp stride = sizeof(T);
  void* data = owned->empty() ? static_cast<void*>(empty_storage) : static_cast<void*>(owned->data());

  auto* container = PyObject_New(SliceContainer, type);
  if (container == nullptr) {
    PyErr_Clear();
    VB_CHECK(false, "Failed to create slice container");
  }
  container->owner = owned.release();
  container->release = &release_buffer<T>;
  PyRef base = PyRef::steal(reinterpret_cast<PyObject*>(container));

  PyArray_Descr* descr = PyArray_DescrFromType(typenum);  // new reference, stolen below
  PyRef array = PyRef::steal(
      PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, &stride, data, NPY_ARRAY_WRITEABLE, nullptr));
  // SetBaseObject steals the base even when it fails.
  check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()));
  return array;
}

}  // namespace

ArrayArg ArrayArg::convert(PyObject* obj, int ndim, int typenum, const char* name) {
  if (obj == nullptr || !PyArray_Check(obj)) kind_error(obj == nullptr ? Py_None : obj, name);
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim) kind_error(obj, name);
  PyArray_Descr* want = PyArray_DescrFromType(typenum);
  const bool same = PyArray_DESCR(array) == want || PyArray_EquivTypes(PyArray_DESCR(array), want);
  Py_DECREF(want);
  if (!same) kind_error(obj, name);
  return ArrayArg(PyRef::borrow(obj));
}

std::optional<ArrayArg> ArrayArg::convert_optional(PyObject* obj, int ndim, int typenum, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return convert(obj, ndim, typenum, name);
}

template <class T>
Buffer<T> ArrayArg::copy_rows() const {
  Buffer<T> out;
  const std::size_t n = size();
  if (n == 0) return out;
  PyArrayObject* a = array();
  const bool c_order = PyArray_IS_C_CONTIGUOUS(a);
  const bool f_order = PyArray_IS_F_CONTIGUOUS(a);
  if (!PyArray_ISALIGNED(a) || !(c_order || f_order) || PyArray_DATA(a) == nullptr) contiguity_error();
  out.resize(n);
  const T* data = static_cast<const T*>(PyArray_DATA(a));
  if (c_order || PyArray_NDIM(a) < 2) {
    std::memcpy(out.data(), data, n * sizeof(T));
  } else {
    // Fortran order: element (i, j) of an (rows, cols) matrix sits at j*rows + i.
    const std::size_t rows = dim(0);
    const std::size_t cols = n / rows;
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = data[j * rows + i];
    }
  }
  return out;
}

Buffer<double> ArrayArg::copy_f64() const { return copy_rows<double>(); }
Buffer<std::int64_t> ArrayArg::copy_i64() const { return copy_rows<std::int64_t>(); }

PyRef to_array(Buffer<std::int64_t>&& buffer) { return wrap(std::move(buffer), NPY_INT64); }
PyRef to_array(Buffer<double>&& buffer) { return wrap(std::move(buffer), NPY_FLOAT64); }

PyRef reshape(const PyRef& flat, std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyArray_Dims shape = {dims, 2};
  return PyRef::steal(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &shape, NPY_ANYORDER));
}

}  // namespace vb::module
