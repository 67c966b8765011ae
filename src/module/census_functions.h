#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Module functions of the periodic engine's module that count, for the tuner,
// what some tables of a hash setting would look up (index/probe_census.h):
//   neighbour_places(queries, neighbours, s, u, b)  int64 (len(neighbours), k_max)
//   probed_cell_counts(queries, others, s, u, b)     int64 (k_max, k_max + 1)
// over the tables of s and u (tables × k_max). Points are float64 rows on the
// unit torus; they run without the GIL.
namespace vb::module {

// The method-table entries of the two functions.
PyMethodDef neighbour_places_function();
PyMethodDef probed_cell_counts_function();

}  // namespace vb::module
