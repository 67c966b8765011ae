#pragma once

#include <cstddef>
#include <optional>

#include "index/index.h"

namespace vb::query {

// The argument checks shared by both query methods, made before any search:
//  - exclude_ids, when given (its length in exclude_len), must have at least m
//    entries: "exclude_ids has {len} entries but there are {m} queries";
//  - on an index that holds points, the queries must have d columns:
//    "queries have {dq} columns but the index holds {d}-dimensional points".
// Checked in that order; throws ArgumentError with the message.
void check_queries(const index::Index& index, std::size_t m, std::size_t dq, std::optional<std::size_t> exclude_len);

}  // namespace vb::query
