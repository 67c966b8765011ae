#include "module/cell_index_object.h"

#include "module/numpy_api.h"

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/cell_docstrings.h"
#include "module/create_once.h"
#include "module/guard.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCall fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)); }

const Signature kConstructor{"CellIndex", {"points", "metric", "period"}, 1};
const Signature kPairs{"pairs", {"radius"}, 1};
const Signature kQueryRadius{"query_radius", {"queries", "radius", "exclude_ids"}, 2};
const Signature kPlan{"plan", {"radius", "rows"}, 2};

std::atomic<PyObject*> the_type{nullptr};

// Rows of a float64 (n, columns) argument divided by their axis periods (one
// double division each, as the LSH engine stores them).
Buffer<double> unit_rows(const ArrayArg& rows, const std::vector<double>& period) {
  Buffer<double> values = rows.copy_f64();
  const std::size_t columns = rows.dim(1);
  if (period.empty()) return values;
  if (columns != period.size()) {
    throw ArgumentError("coordinates have " + std::to_string(columns) + " columns but there are " +
                        std::to_string(period.size()) + " periods");
  }
  for (std::size_t i = 0; i < values.size(); ++i) values[i] /= period[i % columns];
  return values;
}

const query::CellIndex& cells_of(PyObject* self) {
  PyTypeObject* type = cell_index_type();
  if (type == nullptr) throw PyErrSet{};
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_SetString(PyExc_TypeError, "the receiver is not a CellIndex");
    throw PyErrSet{};
  }
  return *reinterpret_cast<CellIndexObject*>(self)->cells;
}

// The frame of every method: receiver, binding, then the body, all in guard.
template <std::size_t N, class Body>
PyObject* cell_frame(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, Body&& body) {
  return guard([&]() -> PyObject* {
    const query::CellIndex& cells = cells_of(self);
    PyObject* bound[N];
    bind_fastcall(sig, args, nargsf, kwnames, bound);
    return body(cells, bound);
  });
}

std::vector<double> periods_of(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return {};
  const Buffer<double> values = ArrayArg::convert(obj, 1, NPY_FLOAT64, "period").copy_f64();
  return std::vector<double>(values.begin(), values.end());
}

PyObject* cell_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[3] = {};
    bind_tuple(kConstructor, args, kwargs, a);
    ArrayArg points = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "points");
    const Metric metric = a[1] == nullptr ? Metric::kL1 : to_metric(a[1]);
    std::vector<double> period = periods_of(a[2]);
    const std::size_t n = points.dim(0);
    const std::size_t d = points.dim(1);
    const Buffer<double> rows = unit_rows(points, period);
    auto cells = without_gil([&] { return std::make_unique<query::CellIndex>(rows.data(), n, d, metric, period); });
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PyErrSet{};
    reinterpret_cast<CellIndexObject*>(self)->cells = cells.release();
    return self;
  });
}

void cell_dealloc(PyObject* self) {
  delete reinterpret_cast<CellIndexObject*>(self)->cells;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* cell_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return cell_frame<1>(kPairs, self, args, nargsf, kwnames, [](const query::CellIndex& cells, PyObject** a) {
    const double radius = to_f64(a[0], "radius");
    query::PairList found = without_gil([&] { return cells.pairs(radius); });
    const std::size_t m = found.size();
    PyRef flat = to_array(std::move(found.pairs));
    PyRef pairs = reshape(flat, m, 2);
    PyRef dists = to_array(std::move(found.dists));
    return PyTuple_Pack(2, pairs.get(), dists.get());
  });
}

PyObject* cell_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return cell_frame<3>(kQueryRadius, self, args, nargsf, kwnames, [](const query::CellIndex& cells, PyObject** a) {
    ArrayArg queries = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const double radius = to_f64(a[1], "radius");
    std::optional<ArrayArg> exclude = ArrayArg::convert_optional(a[2], 1, NPY_INT64, "exclude_ids");
    const std::size_t m = queries.dim(0);
    const std::size_t dq = queries.dim(1);
    const Buffer<double> rows = unit_rows(queries, cells.period());
    std::optional<Buffer<std::int64_t>> excluded;
    if (exclude) {
      excluded = exclude->copy_i64();
      if (excluded->size() < m) {
        throw ArgumentError("exclude_ids has " + std::to_string(excluded->size()) + " entries but there are " +
                            std::to_string(m) + " queries");
      }
    }
    query::RadiusResult found = without_gil([&] {
      return cells.radius_rows(rows.data(), m, dq, radius, excluded ? excluded->data() : nullptr);
    });
    PyRef indptr = to_array(std::move(found.indptr));
    PyRef ids = to_array(std::move(found.ids));
    PyRef dists = to_array(std::move(found.dists));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

PyRef size_tuple(const std::vector<std::size_t>& values) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t j = 0; j < values.size(); ++j) {
    PyObject* item = PyLong_FromSize_t(values[j]);
    if (item == nullptr) throw PyErrSet{};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(j), item);
  }
  return tuple;
}

PyObject* cell_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return cell_frame<2>(kPlan, self, args, nargsf, kwnames, [](const query::CellIndex& cells, PyObject** a) {
    const double radius = to_f64(a[0], "radius");
    const std::uint64_t rows = to_u64(a[1], "rows");
    const query::CellPlan plan = cells.plan(radius, rows);
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef cell_counts = size_tuple(plan.cells);
    PyRef rings = size_tuple(plan.rings);
    PyRef candidates = PyRef::steal(PyFloat_FromDouble(plan.candidates));
    PyRef group = PyRef::steal(PyLong_FromSize_t(plan.group));
    check(PyDict_SetItemString(dict.get(), "group", group.get()));
    check(PyDict_SetItemString(dict.get(), "cells", cell_counts.get()));
    check(PyDict_SetItemString(dict.get(), "rings", rings.get()));
    check(PyDict_SetItemString(dict.get(), "candidates", candidates.get()));
    return dict.release();
  });
}

PyObject* get_n_points(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return PyLong_FromSize_t(cells_of(self).size()); });
}

PyMethodDef cell_methods[] = {
    {"pairs", as_method(cell_pairs), METH_FASTCALL | METH_KEYWORDS, doc::kCellPairs},
    {"query_radius", as_method(cell_query_radius), METH_FASTCALL | METH_KEYWORDS, doc::kCellQueryRadius},
    {"plan", as_method(cell_plan), METH_FASTCALL | METH_KEYWORDS, doc::kCellPlan},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cell_getset[] = {
    {"n_points", get_n_points, nullptr, "Points held.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cell_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cell_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cell_dealloc)},
    {Py_tp_doc, const_cast<char*>(doc::kCellIndex)},
    {Py_tp_methods, cell_methods},
    {Py_tp_getset, cell_getset},
    {0, nullptr},
};

PyType_Spec cell_spec = {
    "builtins.CellIndex",
    static_cast<int>(sizeof(CellIndexObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    cell_slots,
};

}  // namespace

PyTypeObject* cell_index_type() {
  return reinterpret_cast<PyTypeObject*>(create_once(the_type, [] { return PyType_FromSpec(&cell_spec); }));
}

}  // namespace vb::module
