#include "module/index_object.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <new>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/metric.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/create_once.h"
#include "module/by_ids_docstrings.h"
#include "module/docstrings.h"
#include "module/guard.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_method(FastCall fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)); }

const Signature kConstructor{"RustLshIndex", {"b", "k", "l", "probes", "s", "u", "block"}, 6};
const Signature kPeriodicConstructor{
    "PeriodicLshIndex", {"b", "k", "l", "probes", "s", "u", "block", "metric", "period"}, 6};

// Axis periods from a float64 1-D array: each positive and finite, and
// within the range the metric's single-precision distances can hold (the
// metric is set first). Periods of exactly 1 leave the engine on its
// unit-torus kernels, whose bits the scaled ones would repeat at the cost of a
// multiplication per term.
void set_periods(Engine& engine, const ArrayArg& period) {
  const Buffer<double> values = period.copy_f64();
  const PeriodRange range = period_range(engine.index.metric);
  bool unit = true;
  for (std::size_t c = 0; c < values.size(); ++c) {
    const double p = values[c];
    if (!(p > 0.0) || !std::isfinite(p)) {
      throw ArgumentError("period[" + std::to_string(c) + "] = " + std::to_string(p) + " is not positive and finite");
    }
    if (p < range.low || p > range.high) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "period[%zu] = %g is outside %g to %g, the periods whose %s distances single precision can hold",
                    c, p, range.low, range.high, engine.index.metric == Metric::kL2 ? "l2" : "l1");
      throw ArgumentError(text);
    }
    unit = unit && p == 1.0;
  }
  engine.period.assign(values.begin(), values.end());
  if (!unit) engine.index.scale.assign(values.begin(), values.end());  // each rounded to float
}

// Both constructors: bind, convert in parameter order, check the shapes of s
// and u, then copy them. Validates nothing else; the package draws the
// parameters. The periodic one also takes the metric and the axis periods.
PyObject* new_index(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool periodic) {
  return guard([&]() -> PyObject* {
    PyObject* a[9] = {};
    bind_tuple(periodic ? kPeriodicConstructor : kConstructor, args, kwargs, a);
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
    if (periodic) {
      if (a[7] != nullptr) engine->index.metric = to_metric(a[7]);
      if (a[8] != nullptr && a[8] != Py_None) set_periods(*engine, ArrayArg::convert(a[8], 1, NPY_FLOAT64, "period"));
      index::choose_kernels(engine->index);  // for the metric and periods just set
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PyErrSet{};
    auto* obj = reinterpret_cast<IndexObject*>(self);
    new (&obj->borrow) BorrowState(0);
    new (&obj->live) BorrowLink();
    track_borrow(obj->live, obj->borrow);
    obj->engine = engine.release();
    return self;
  });
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_index(type, args, kwargs, false);
}

PyObject* periodic_index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_index(type, args, kwargs, true);
}

void index_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<IndexObject*>(self);
  delete obj->engine;
  untrack_borrow(obj->live);
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

// The periodic index has the same methods and the searches by indexed ids;
// the unit-torus class keeps exactly its own surface.
PyMethodDef periodic_index_methods[] = {
    {"build", as_method(index_build), METH_FASTCALL | METH_KEYWORDS, doc::kBuild},
    {"update", as_method(index_update), METH_FASTCALL | METH_KEYWORDS, doc::kUpdate},
    {"promote", as_method(index_promote), METH_FASTCALL | METH_KEYWORDS, doc::kPromote},
    {"query_knn", as_method(index_query_knn), METH_FASTCALL | METH_KEYWORDS, doc::kQueryKnn},
    {"query_radius", as_method(index_query_radius), METH_FASTCALL | METH_KEYWORDS, doc::kQueryRadius},
    {"query_knn_ids", as_method(index_query_knn_ids), METH_FASTCALL | METH_KEYWORDS, doc::kQueryKnnIds},
    {"query_radius_ids", as_method(index_query_radius_ids), METH_FASTCALL | METH_KEYWORDS, doc::kQueryRadiusIds},
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

PyType_Slot periodic_index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(periodic_index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>(doc::kPeriodicClass)},
    {Py_tp_methods, periodic_index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

PyType_Spec periodic_index_spec = {
    "builtins.PeriodicLshIndex",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    periodic_index_slots,
};

std::atomic<PyObject*> the_type{nullptr};
std::atomic<PyObject*> the_periodic_type{nullptr};

}  // namespace

Buffer<double> Engine::unit_rows(const ArrayArg& rows) const {
  Buffer<double> values = rows.copy_f64();
  if (period.empty()) return values;
  const std::size_t columns = rows.dim(1);
  if (columns != period.size()) {
    throw ArgumentError("coordinates have " + std::to_string(columns) + " columns but the index has " +
                        std::to_string(period.size()) + " periods");
  }
  // Row by row rather than by a modulo per value, which cost more than the division.
  const double* sides = period.data();
  for (std::size_t at = 0; at < values.size(); at += columns) {
    for (std::size_t c = 0; c < columns; ++c) values[at + c] /= sides[c];
  }
  return values;
}

PyTypeObject* index_type() {
  return reinterpret_cast<PyTypeObject*>(create_once(the_type, [] { return PyType_FromSpec(&index_spec); }));
}

PyTypeObject* periodic_index_type() {
  return reinterpret_cast<PyTypeObject*>(
      create_once(the_periodic_type, [] { return PyType_FromSpec(&periodic_index_spec); }));
}

IndexObject& receiver(PyObject* self) {
  // A periodic index is checked first only when its type exists, so that
  // RustLshIndex alone never creates it.
  PyObject* periodic = the_periodic_type.load();
  if (periodic != nullptr && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(periodic))) {
    return *reinterpret_cast<IndexObject*>(self);
  }
  PyTypeObject* type = index_type();
  if (type == nullptr) throw PyErrSet{};
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_SetString(PyExc_TypeError, "the receiver is not a RustLshIndex");
    throw PyErrSet{};
  }
  return *reinterpret_cast<IndexObject*>(self);
}

}  // namespace vb::module
