#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The periodic module's CensusRows: a tuner's sample queries and one set of
// rows (their true neighbours, or an occupancy sample), checked and copied
// once, counted against many tables' digits (index/probe_census.h):
//   CensusRows(queries, rows)
//   .neighbour_places(s, u, b, start=None)  int64 (len(rows), k_max)
//   .probed_cell_counts(s, u, b)            int64 (k_max, k_max + 1)
// over the tables of s and u (tables × k_max). The tuner calls one of these
// once a step, so the rows' copy and finiteness check are paid once, not each
// call. The object never changes; its methods run without the GIL.
namespace vb::module {

// The CensusRows type, created on first use and kept for the process.
// Returns a borrowed reference, or null with an exception set.
PyTypeObject* census_rows_type();

}  // namespace vb::module
