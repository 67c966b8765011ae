#pragma once

#include <cstddef>
#include <vector>

#include "base/metric.h"
#include "query/radius.h"
#include "query/topk.h"

// The rows a piece of radius work found, and their assembly into one
// compressed-sparse-row result.
namespace vb::query {

// Rows of one piece of work: rows[i] is a query row, counts[i] the number of
// its entries; the entries are stored row after row in that order, each row
// ascending by (distance, id).
struct FoundRows {
  std::vector<std::size_t> rows;
  std::vector<std::size_t> counts;
  std::vector<Entry> entries;
};

// The result of m query rows from pieces that together name each row at most
// once (rows no piece names are empty). indptr is built first; ids and dists
// are allocated once at their final size and each piece's entries copied in
// once (distances as reported_distance, widened to double), on the pool, each
// piece's entries given back right after its copy.
RadiusResult assemble_rows(std::vector<FoundRows>& pieces, std::size_t m, Metric metric);

}  // namespace vb::query
