#include "module/index_object.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/arrays.h"
#include "module/create_once.h"
#include "module/docstrings.h"
#include "module/guard.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_method(FastCall fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)); }

const Signature kConstructor{"RustLshIndex", {"b", "k", "l", "probes", "s", "u", "block"}, 6};

// Constructor: bind, convert in parameter order, check the shapes of s and u,
// then copy them. Validates nothing else; the package draws the parameters.
PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[7];
    bind_tuple(kConstructor, args, kwargs, a);
    const std::int64_t b = to_i64(a[0], "b");
    const std::uint64_t k = to_u64(a[1], "k");
    const std::uint64_t l = to_u64(a[2], "l");
    const std::uint64_t probes = to_u64(a[3], "probes");
    ArrayArg s = ArrayArg::convert(a[4], 2, NPY_INT64, "s");
    ArrayArg u = ArrayArg::convert(a[5], 2, NPY_FLOAT64, "u");
    const std::uint64_t block = a[6] == nullptr ? 1024 : to_u64(a[6], "block");
    if (s.dim(0) != l || s.dim(1) != k || u.dim(0) != s.dim(0) || u.dim(1) != s.dim(1)) {
      PyErr_SetString(PyExc_ValueError, "S and U must have shape (L, K)");
      throw PyErrSet{};
    }
    Buffer<std::int64_t> s_values = s.copy_i64();
    Buffer<double> u_values = u.copy_f64();
    auto engine = std::make_unique<Engine>(
        b, k, l, probes, std::vector<std::int64_t>(s_values.begin(), s_values.end()),
        std::vector<double>(u_values.begin(), u_values.end()), block);

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PyErrSet{};
    auto* obj = reinterpret_cast<IndexObject*>(self);
    new (&obj->borrow) BorrowState(0);
    obj->engine = engine.release();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<IndexObject*>(self);
  delete obj->engine;
  obj->borrow.~BorrowState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Read>
PyObject* read_size(PyObject* self, Read read) {
  return method_frame<SharedBorrow>(self, [&](Engine& engine) { return PyLong_FromSize_t(read(engine.index)); });
}

PyObject* get_n_points(PyObject* self, void*) {
  return read_size(self, [](const vb::index::Index& ix) { return ix.n_points; });
}
PyObject* get_n_static(PyObject* self, void*) {
  return read_size(self, [](const vb::index::Index& ix) { return ix.n_static; });
}
PyObject* get_n_candidates(PyObject* self, void*) {
  return read_size(self, [](const vb::index::Index& ix) { return ix.n_cand(); });
}

PyMethodDef index_methods[] = {
    {"build", as_method(index_build), METH_FASTCALL | METH_KEYWORDS, doc::kBuild},
    {"update", as_method(index_update), METH_FASTCALL | METH_KEYWORDS, doc::kUpdate},
    {"promote", as_method(index_promote), METH_FASTCALL | METH_KEYWORDS, doc::kPromote},
    {"query_knn", as_method(index_query_knn), METH_FASTCALL | METH_KEYWORDS, doc::kQueryKnn},
    {"query_radius", as_method(index_query_radius), METH_FASTCALL | METH_KEYWORDS, doc::kQueryRadius},
    {"tables", index_tables, METH_NOARGS, doc::kTables},
    {"stats", index_stats, METH_NOARGS, doc::kStats},
    {"reset_stats", index_reset_stats, METH_NOARGS, doc::kResetStats},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"n_points", get_n_points, nullptr, doc::kNPoints, nullptr},
    {"n_static", get_n_static, nullptr, doc::kNStatic, nullptr},
    {"n_candidates", get_n_candidates, nullptr, doc::kNCandidates, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>(doc::kClass)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

// No base-type flag: the class cannot be subclassed.
PyType_Spec index_spec = {
    "builtins.RustLshIndex",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    index_slots,
};

std::atomic<PyObject*> the_type{nullptr};

}  // namespace

PyTypeObject* index_type() {
  return reinterpret_cast<PyTypeObject*>(create_once(the_type, [] { return PyType_FromSpec(&index_spec); }));
}

IndexObject& receiver(PyObject* self) {
  PyTypeObject* type = index_type();
  if (type == nullptr) throw PyErrSet{};
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_SetString(PyExc_TypeError, "the receiver is not a RustLshIndex");
    throw PyErrSet{};
  }
  return *reinterpret_cast<IndexObject*>(self);
}

}  // namespace vb::module
