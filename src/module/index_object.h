#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

#include "index/index.h"
#include "module/arrays.h"
#include "module/borrow.h"
#include "module/live_borrows.h"
#include "query/profile.h"

namespace vb::module {

// What one index object owns: the index and, beside it, the profile counters
// that queries add to while they only read the index under a shared borrow.
// A periodic index also keeps its axis periods: coordinates arrive in the
// caller's units and are stored on the unit torus.
struct Engine {
  template <class... Args>
  explicit Engine(Args&&... args) : index(std::forward<Args>(args)...) {}

  vb::index::Index index;
  vb::query::Counters counters;
  std::vector<double> period;  // empty: coordinates are on the unit torus already

  // A float64 (n, columns) argument copied into an owned buffer, each
  // coordinate divided by its axis period (one double division, as the
  // reference does). ArgumentError when the columns are not one per period.
  Buffer<double> unit_rows(const ArrayArg& rows) const;
};

// Instance layout of RustLshIndex: the object header, the engine and its borrow state.
struct IndexObject {
  PyObject_HEAD
  Engine* engine;
  BorrowState borrow;
  BorrowLink live;
};

// The RustLshIndex type and the periodic index type, each created on first
// use and kept for the process. Return a borrowed reference, or null with an
// exception set.
PyTypeObject* index_type();
PyTypeObject* periodic_index_type();

// `self` as an IndexObject; TypeError (PyErrSet) when it is something else.
IndexObject& receiver(PyObject* self);

// Method bodies, one file each. Fast-call methods take (self, args, nargsf, kwnames).
PyObject* index_build(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_promote(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_query_knn_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_query_radius_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* index_tables(PyObject* self, PyObject* unused);
PyObject* index_stats(PyObject* self, PyObject* unused);
PyObject* index_reset_stats(PyObject* self, PyObject* unused);

}  // namespace vb::module
