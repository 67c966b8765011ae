#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"
#include "query/knn_request.h"
#include "query/profile.h"
#include "query/radius.h"

// Searches whose queries are indexed points named by id: the self-join of an
// epoch (the moving points against everything) takes the rows the index holds
// instead of receiving them again from the caller, converted and copied.
namespace vb::query {

// Checks that every one of the m ids names an indexed point (0 <= id <
// n_points); throws ArgumentError "ids[{i}] = {id} does not name an indexed
// point (0 to {n_points - 1})" for the first that does not (on an empty index
// every id fails, "no point is indexed").
void check_point_ids(const index::Index& index, const std::int64_t* ids, std::size_t m);

// The stored rows of the m points `ids`, row-major (m × d): exactly the values
// a query of those points' coordinates would search with, so the answers of a
// search by ids are those of that search bit for bit.
// Requires: check_point_ids passed. Runs on the pool.
Buffer<double> rows_of_ids(const index::Index& index, const std::int64_t* ids, std::size_t m);

// The k nearest neighbours of the indexed points ids[0 .. m), each leaving out
// its own id: out_ids / out_dists (m × k each) equal those of query_knn on
// rows_of_ids with exclude = ids, and so does the profile added to counters.
// Throws ArgumentError (check_point_ids) before any search when an id names no
// point; otherwise as query_knn.
void query_knn_ids(const index::Index& index, Counters& counters, const std::int64_t* ids, std::size_t m,
                   std::size_t k, std::int64_t* out_ids, double* out_dists);

// Every point within `radius` of the indexed points ids[0 .. m), each leaving
// out its own id: the result of query_radius on rows_of_ids with exclude =
// ids. Throws ArgumentError as query_knn_ids.
RadiusResult query_radius_ids(const index::Index& index, const std::int64_t* ids, std::size_t m, double radius);

}  // namespace vb::query
