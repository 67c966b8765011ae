#include "module/census_functions.h"

#include "module/numpy_api.h"

#include <cmath>
#include <optional>
#include <string>

#include "base/errors.h"
#include "index/probe_census.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"
#include "module/py_ref.h"

namespace vb::module {

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

const Signature kPlaces{"neighbour_places", {"queries", "neighbours", "s", "u", "b", "start"}, 5};
const Signature kCounts{"probed_cell_counts", {"queries", "others", "s", "u", "b"}, 5};

constexpr const char* kPlacesDoc =
    "neighbour_places(queries, neighbours, s, u, b, start=None)\n"
    "--\n"
    "\n"
    "Where each true neighbour lies among its query's looked-up cells, the\n"
    "nearest over the tables, for every key length k = 1 .. k_max of the\n"
    "tables' digits (digit j of table t reads column s[t, j] shifted by\n"
    "u[t, j], in base b; s and u are (tables, k_max)): int64\n"
    "(len(neighbours), k_max), column k - 1 holding 0 for the query's own\n"
    "cell, p for its p-th probe and k_max + 1 for neither. Neighbour i belongs\n"
    "to query i // per_query, with per_query = len(neighbours) //\n"
    "len(queries). Rows are finite float64 on the unit torus. `start`, the\n"
    "places of earlier tables (int64, the shape of the result, each in\n"
    "[0, k_max + 1]), makes the result their minimum with these tables'; a\n"
    "neighbour at 0 for every k in it is not hashed again.";

constexpr const char* kCountsDoc =
    "probed_cell_counts(queries, others, s, u, b)\n"
    "--\n"
    "\n"
    "The rows of `others` in each looked-up cell of the queries, summed over\n"
    "the queries and the tables, for every key length of the tables' digits\n"
    "(as in neighbour_places): int64 (k_max, k_max + 1), entry (k - 1, p) for\n"
    "the p-th probe of a key of k digits (p = 0 the own cell).";

// The rows and the table's digits, checked: the same width, digits reading
// existing columns, finite values, and keys of len(s) digits within int64.
struct CensusArgs {
  Buffer<double> queries, rows;
  Buffer<std::int64_t> s;
  Buffer<double> u;
  std::size_t q = 0, m = 0, d = 0, tables = 0, k_max = 0;
  std::int64_t b = 0;

  CensusArgs(PyObject* const* a, const char* rows_name) {
    const ArrayArg qa = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const ArrayArg ra = ArrayArg::convert(a[1], 2, NPY_FLOAT64, rows_name);
    const ArrayArg sa = ArrayArg::convert(a[2], 2, NPY_INT64, "s");
    const ArrayArg ua = ArrayArg::convert(a[3], 2, NPY_FLOAT64, "u");
    b = to_i64(a[4], "b");
    q = qa.dim(0);
    m = ra.dim(0);
    d = qa.dim(1);
    if (ra.dim(1) != d) throw ArgumentError(std::string(rows_name) + " must have as many columns as queries");
    tables = sa.dim(0);
    k_max = sa.dim(1);
    if (ua.dim(0) != tables || ua.dim(1) != k_max || k_max == 0) {
      throw ArgumentError("s and u must have the same shape, with at least one digit");
    }
    if (b < 2) throw ArgumentError("b must be at least 2");
    queries = qa.copy_f64();
    rows = ra.copy_f64();
    s = sa.copy_i64();
    u = ua.copy_f64();
    for (const std::int64_t column : s) {
      if (column < 0 || static_cast<std::size_t>(column) >= d) throw ArgumentError("s must hold columns in [0, d)");
    }
    double keys = 1.0;
    for (std::size_t j = 0; j < k_max; ++j) keys *= static_cast<double>(b);
    if (keys >= 9223372036854775808.0) throw ArgumentError("keys of k_max digits in base b must fit 64 bits");
    for (const Buffer<double>* values : {&queries, &rows, &u}) {
      for (const double x : *values) {
        if (!std::isfinite(x)) throw ArgumentError("rows, queries and u must be finite");
      }
    }
  }

  index::DigitDraw draw(std::size_t t) const { return {s.data() + t * k_max, u.data() + t * k_max, k_max, b}; }
};

// The places to lower from: `start` checked and copied, or k_max + 1 (none)
// everywhere when it is None or omitted.
Buffer<std::int64_t> start_places(PyObject* start, const CensusArgs& in) {
  const auto none = static_cast<std::int64_t>(in.k_max + 1);
  const std::optional<ArrayArg> given = ArrayArg::convert_optional(start, 2, NPY_INT64, "start");
  if (!given) return Buffer<std::int64_t>(in.m * in.k_max, none);
  if (given->dim(0) != in.m || given->dim(1) != in.k_max) {
    throw ArgumentError("start must have one row per neighbour and one column per digit of s");
  }
  Buffer<std::int64_t> places = given->copy_i64();
  for (const std::int64_t place : places) {
    if (place < 0 || place > none) throw ArgumentError("start must hold places in [0, k_max + 1]");
  }
  return places;
}

PyObject* neighbour_places(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[6];
    bind_fastcall(kPlaces, args, nargsf, kwnames, a);
    const CensusArgs in(a, "neighbours");
    if (in.q == 0 ? in.m != 0 : in.m % in.q != 0) {
      throw ArgumentError("neighbours must hold the same number of rows for every query");
    }
    const std::size_t per_query = in.q == 0 ? 0 : in.m / in.q;
    Buffer<std::int64_t> places = start_places(a[5], in);
    {
      GilRelease unlocked;
      for (std::size_t t = 0; t < in.tables; ++t) {
        index::lower_places(in.queries.data(), in.q, in.rows.data(), per_query, in.d, in.draw(t), places.data());
      }
    }
    return reshape(to_array(std::move(places)), in.m, in.k_max).release();
  });
}

PyObject* probed_cell_counts(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[5];
    bind_fastcall(kCounts, args, nargsf, kwnames, a);
    const CensusArgs in(a, "others");
    Buffer<std::int64_t> counts(in.k_max * (in.k_max + 1), 0);
    {
      GilRelease unlocked;
      for (std::size_t t = 0; t < in.tables; ++t) {
        index::add_cell_counts(in.queries.data(), in.q, in.rows.data(), in.m, in.d, in.draw(t), counts.data());
      }
    }
    return reshape(to_array(std::move(counts)), in.k_max, in.k_max + 1).release();
  });
}

}  // namespace

PyMethodDef neighbour_places_function() {
  return {"neighbour_places",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(static_cast<FastCall>(neighbour_places))),
          METH_FASTCALL | METH_KEYWORDS, kPlacesDoc};
}

PyMethodDef probed_cell_counts_function() {
  return {"probed_cell_counts",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(static_cast<FastCall>(probed_cell_counts))),
          METH_FASTCALL | METH_KEYWORDS, kCountsDoc};
}

}  // namespace vb::module
