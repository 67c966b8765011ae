#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "query/cell_search.h"

// The periodic module's exact cell search, CellIndex, and its helper
// split_rows. Neither touches an LSH index: a CellIndex holds its own copy
// of the points and never changes, so its methods take no borrow and
// several threads may search one object at once.
namespace vb::module {

struct CellIndexObject {
  PyObject_HEAD
  vb::query::CellIndex* cells;
};

// The CellIndex type, created on first use and kept for the process. Returns
// a borrowed reference, or null with an exception set.
PyTypeObject* cell_index_type();

// split_rows(values, indptr): an object array whose row i is the view
// values[indptr[i]:indptr[i + 1]], made in one C loop.
PyObject* split_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace vb::module
