#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "module/arrays.h"
#include "module/index_object.h"

namespace vb::module {

// The owned copy of a query method's array arguments: m rows of dq values and,
// when given, the excluded ids.
struct QueryBatch {
  Buffer<double> values;
  std::size_t m = 0;
  std::size_t dq = 0;
  std::optional<Buffer<std::int64_t>> excluded;

  const std::int64_t* exclude_ids() const { return excluded ? excluded->data() : nullptr; }
};

// Copies the converted `queries` and `exclude_ids` (contiguity TypeError) and
// checks them against the index before any search (ValueError): exclude_ids
// must cover every query, and the column count must be d when the index holds
// points. Coordinates are taken to the unit torus as Engine::unit_rows does.
QueryBatch copy_query_batch(const Engine& engine, const ArrayArg& queries, const std::optional<ArrayArg>& exclude);

}  // namespace vb::module
