#include "module/census_object.h"

#include "module/numpy_api.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/buffer.h"
#include "base/errors.h"
#include "index/probe_census.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/create_once.h"
#include "module/guard.h"
#include "module/method_frame.h"
#include "module/py_ref.h"

namespace vb::module {

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCall fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)); }

const Signature kConstructor{"CensusRows", {"queries", "rows"}, 2};
const Signature kPlaces{"neighbour_places", {"s", "u", "b", "start", "settled"}, 3};
const Signature kCounts{"probed_cell_counts", {"s", "u", "b"}, 3};

constexpr const char* kTypeDoc =
    "CensusRows(queries, rows)\n"
    "--\n"
    "\n"
    "Sample queries and rows (float64, the same number of columns, finite,\n"
    "on the unit torus), checked and copied once, to count what tables of a\n"
    "hash setting would look up: where the rows, as the queries' true\n"
    "neighbours, lie among the queries' looked-up cells (neighbour_places),\n"
    "or how many of the rows those cells hold (probed_cell_counts).";

constexpr const char* kPlacesDoc =
    "neighbour_places(s, u, b, start=None, settled=None)\n"
    "--\n"
    "\n"
    "Where each row, a true neighbour, lies among its query's looked-up cells,\n"
    "the nearest over the tables, for every key length k = 1 .. k_max of the\n"
    "tables' digits (digit j of table t reads column s[t, j] shifted by\n"
    "u[t, j], in base b; s and u are (tables, k_max)): int64\n"
    "(len(rows), k_max), column k - 1 holding 0 for the query's own cell, p\n"
    "for its p-th probe and k_max + 1 for neither. Row i belongs to query\n"
    "i // per_query, with per_query = len(rows) // len(queries). `start`, the\n"
    "places of earlier tables (int64, the shape of the result, each in\n"
    "[0, k_max + 1]), makes the result their minimum with these tables'; a\n"
    "row at 0 for every k in it is not hashed again, nor one whose places in\n"
    "every column k - 1 are at most settled[k - 1] (int64 (k_max,), each in\n"
    "[0, k_max + 1]) before a table: it keeps them through that table.";

constexpr const char* kCountsDoc =
    "probed_cell_counts(s, u, b)\n"
    "--\n"
    "\n"
    "The rows in each looked-up cell of the queries, summed over the queries\n"
    "and the tables, for every key length of the tables' digits (as in\n"
    "neighbour_places): int64 (k_max, k_max + 1), entry (k - 1, p) for the\n"
    "p-th probe of a key of k digits (p = 0 the own cell).";

std::atomic<PyObject*> the_type{nullptr};

// The queries and rows as the constructor checked them.
struct CensusRows {
  Buffer<double> queries, rows;
  std::size_t q = 0, m = 0, d = 0;
};

struct CensusRowsObject {
  PyObject_HEAD
  CensusRows* census;
};

// The tables' digits of one call, checked against the rows: digits reading
// existing columns, finite shifts, and keys of k_max digits within int64.
struct Draws {
  Buffer<std::int64_t> s;
  Buffer<double> u;
  std::size_t tables = 0, k_max = 0;
  std::int64_t b = 0;

  Draws(PyObject* const* a, std::size_t d) {
    const ArrayArg sa = ArrayArg::convert(a[0], 2, NPY_INT64, "s");
    const ArrayArg ua = ArrayArg::convert(a[1], 2, NPY_FLOAT64, "u");
    b = to_i64(a[2], "b");
    tables = sa.dim(0);
    k_max = sa.dim(1);
    if (ua.dim(0) != tables || ua.dim(1) != k_max || k_max == 0) {
      throw ArgumentError("s and u must have the same shape, with at least one digit");
    }
    if (b < 2) throw ArgumentError("b must be at least 2");
    s = sa.copy_i64();
    u = ua.copy_f64();
    for (const std::int64_t column : s) {
      if (column < 0 || static_cast<std::size_t>(column) >= d) throw ArgumentError("s must hold columns in [0, d)");
    }
    double keys = 1.0;
    for (std::size_t j = 0; j < k_max; ++j) keys *= static_cast<double>(b);
    if (keys >= 9223372036854775808.0) throw ArgumentError("keys of k_max digits in base b must fit 64 bits");
    for (const double x : u) {
      if (!std::isfinite(x)) throw ArgumentError("u must be finite");
    }
  }

  index::DigitDraw draw(std::size_t t) const { return {s.data() + t * k_max, u.data() + t * k_max, k_max, b}; }
};

const CensusRows& census_of(PyObject* self) {
  PyTypeObject* type = census_rows_type();
  if (type == nullptr) throw PyErrSet{};
  if (!PyObject_TypeCheck(self, type)) {
    PyErr_SetString(PyExc_TypeError, "the receiver is not a CensusRows");
    throw PyErrSet{};
  }
  return *reinterpret_cast<CensusRowsObject*>(self)->census;
}

// The places to lower from: `start` checked and copied, or k_max + 1 (none)
// everywhere when it is None or omitted.
Buffer<std::int64_t> start_places(PyObject* start, std::size_t m, std::size_t k_max) {
  const auto none = static_cast<std::int64_t>(k_max + 1);
  const std::optional<ArrayArg> given = ArrayArg::convert_optional(start, 2, NPY_INT64, "start");
  if (!given) return Buffer<std::int64_t>(m * k_max, none);
  if (given->dim(0) != m || given->dim(1) != k_max) {
    throw ArgumentError("start must have one row per neighbour and one column per digit of s");
  }
  Buffer<std::int64_t> places = given->copy_i64();
  for (const std::int64_t place : places) {
    if (place < 0 || place > none) throw ArgumentError("start must hold places in [0, k_max + 1]");
  }
  return places;
}

// The places at or below which a row is left as it is (lower_places): `settled`
// checked and copied, or nothing when it is None or omitted.
std::optional<Buffer<std::int64_t>> settled_places(PyObject* settled, std::size_t k_max) {
  const std::optional<ArrayArg> given = ArrayArg::convert_optional(settled, 1, NPY_INT64, "settled");
  if (!given) return std::nullopt;
  if (given->dim(0) != k_max) throw ArgumentError("settled must have one entry per digit of s");
  Buffer<std::int64_t> limits = given->copy_i64();
  for (const std::int64_t limit : limits) {
    if (limit < 0 || limit > static_cast<std::int64_t>(k_max + 1)) {
      throw ArgumentError("settled must hold places in [0, k_max + 1]");
    }
  }
  return limits;
}

PyObject* census_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[2] = {};
    bind_tuple(kConstructor, args, kwargs, a);
    const ArrayArg qa = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const ArrayArg ra = ArrayArg::convert(a[1], 2, NPY_FLOAT64, "rows");
    auto census = std::make_unique<CensusRows>();
    census->q = qa.dim(0);
    census->m = ra.dim(0);
    census->d = qa.dim(1);
    if (ra.dim(1) != census->d) throw ArgumentError("rows must have as many columns as queries");
    census->queries = qa.copy_f64();
    census->rows = ra.copy_f64();
    for (const Buffer<double>* values : {&census->queries, &census->rows}) {
      for (const double x : *values) {
        if (!std::isfinite(x)) throw ArgumentError("queries and rows must be finite");
      }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PyErrSet{};
    reinterpret_cast<CensusRowsObject*>(self)->census = census.release();
    return self;
  });
}

void census_dealloc(PyObject* self) {
  delete reinterpret_cast<CensusRowsObject*>(self)->census;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* census_places(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const CensusRows& in = census_of(self);
    PyObject* a[5];
    bind_fastcall(kPlaces, args, nargsf, kwnames, a);
    const Draws draws(a, in.d);
    if (in.q == 0 ? in.m != 0 : in.m % in.q != 0) {
      throw ArgumentError("rows must hold the same number of neighbours for every query");
    }
    const std::size_t per_query = in.q == 0 ? 0 : in.m / in.q;
    Buffer<std::int64_t> places = start_places(a[3], in.m, draws.k_max);
    const std::optional<Buffer<std::int64_t>> settled = settled_places(a[4], draws.k_max);
    const std::int64_t* limits = settled ? settled->data() : nullptr;
    std::vector<index::DigitDraw> tables(draws.tables);
    for (std::size_t t = 0; t < draws.tables; ++t) tables[t] = draws.draw(t);
    without_gil([&] {
      index::lower_places(in.queries.data(), in.q, in.rows.data(), per_query, in.d, tables.data(), tables.size(),
                          places.data(), limits);
    });
    return reshape(to_array(std::move(places)), in.m, draws.k_max).release();
  });
}

PyObject* census_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const CensusRows& in = census_of(self);
    PyObject* a[3];
    bind_fastcall(kCounts, args, nargsf, kwnames, a);
    const Draws draws(a, in.d);
    Buffer<std::int64_t> counts(draws.k_max * (draws.k_max + 1), 0);
    without_gil([&] {
      for (std::size_t t = 0; t < draws.tables; ++t) {
        index::add_cell_counts(in.queries.data(), in.q, in.rows.data(), in.m, in.d, draws.draw(t), counts.data());
      }
    });
    return reshape(to_array(std::move(counts)), draws.k_max, draws.k_max + 1).release();
  });
}

PyMethodDef census_methods[] = {
    {"neighbour_places", as_method(census_places), METH_FASTCALL | METH_KEYWORDS, kPlacesDoc},
    {"probed_cell_counts", as_method(census_counts), METH_FASTCALL | METH_KEYWORDS, kCountsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot census_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(census_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(census_dealloc)},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_methods, census_methods},
    {0, nullptr},
};

PyType_Spec census_spec = {
    "builtins.CensusRows",
    static_cast<int>(sizeof(CensusRowsObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    census_slots,
};

}  // namespace

PyTypeObject* census_rows_type() {
  return reinterpret_cast<PyTypeObject*>(create_once(the_type, [] { return PyType_FromSpec(&census_spec); }));
}

}  // namespace vb::module
