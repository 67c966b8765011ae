#pragma once

// Docstrings of the periodic module's cell search, each starting with its
// text signature.
namespace vb::module::doc {

inline constexpr const char* kCellIndex =
    "CellIndex(points, metric='l1', period=None)\n"
    "--\n"
    "\n"
    "Exact radius search in a periodic box by cell lists.\n"
    "\n"
    "`points` is a float64 (n, d) array in the box's units, `metric` 'l1' or\n"
    "'l2' (minimum image), `period` a float64 array of d box sides or None for\n"
    "the unit torus. Coordinates are stored divided by their period, as\n"
    "PeriodicLshIndex stores them, and distances are its single-precision\n"
    "distances bit for bit; nothing within the radius is ever missed. The\n"
    "points are copied; the object never changes.";

inline constexpr const char* kCellPairs =
    "pairs($self, radius)\n"
    "--\n"
    "\n"
    "Every pair of points within `radius`: `(pairs, dists)`, pairs an (m, 2)\n"
    "int64 array with i < j in lexicographic order, dists float64.";

inline constexpr const char* kCellQueryRadius =
    "query_radius($self, queries, radius, exclude_ids=None)\n"
    "--\n"
    "\n"
    "Every point within `radius` of each query row, as `(indptr, ids, dists)`\n"
    "in CSR form, each row ascending by (distance, id); exclude_ids, when\n"
    "given, holds one id per row to leave out.";

inline constexpr const char* kCellPlan =
    "plan($self, radius, rows)\n"
    "--\n"
    "\n"
    "The cutting a search of `rows` query rows within `radius` uses: a dict\n"
    "of 'cells' and 'rings' (tuples, one per axis), 'group' (cells along the\n"
    "first axis that share one neighbourhood) and 'candidates' (the expected\n"
    "points measured per row).";

inline constexpr const char* kSplitRows =
    "split_rows(values, indptr)\n"
    "--\n"
    "\n"
    "An object array whose row i is the view values[indptr[i]:indptr[i+1]] of\n"
    "the 1-D array `values`; `indptr` is int64, non-decreasing, within\n"
    "[0, len(values)].";

}  // namespace vb::module::doc
