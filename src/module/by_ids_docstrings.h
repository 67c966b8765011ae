#pragma once

// Docstrings of the periodic index's searches by indexed ids, each starting
// with its text signature.
namespace vb::module::doc {

inline constexpr const char* kQueryKnnIds =
    "query_knn_ids($self, ids, k)\n"
    "--\n"
    "\n"
    "Exact k nearest neighbours of indexed points, each leaving out itself.\n"
    "\n"
    "The rows searched with are the ones the index holds, so the answer is\n"
    "`query_knn(points[ids], k, exclude_ids=ids)` bit for bit, without the\n"
    "coordinates crossing into the engine again.\n"
    "\n"
    "Args:\n"
    "    ids: `(m,)` int64 ids of indexed points; repeats are allowed.\n"
    "    k: Neighbours per query.\n"
    "\n"
    "Returns:\n"
    "    `(idx, dist)`, both `(m, k)`: int64 ids and float64 distances.\n"
    "\n"
    "Raises:\n"
    "    ValueError: an id names no indexed point; nothing is searched.";

inline constexpr const char* kQueryRadiusIds =
    "query_radius_ids($self, ids, radius)\n"
    "--\n"
    "\n"
    "Every point within `radius` of indexed points, each leaving out itself.\n"
    "\n"
    "The answer is `query_radius(points[ids], radius, exclude_ids=ids)` bit\n"
    "for bit, from the rows the index holds.\n"
    "\n"
    "Args:\n"
    "    ids: `(m,)` int64 ids of indexed points; repeats are allowed.\n"
    "    radius: The cutoff, in the box's units.\n"
    "\n"
    "Returns:\n"
    "    `(indptr, ids, dists)` in CSR form: query `i` owns\n"
    "    `ids[indptr[i]:indptr[i+1]]`.\n"
    "\n"
    "Raises:\n"
    "    ValueError: an id names no indexed point; nothing is searched.";

}  // namespace vb::module::doc
