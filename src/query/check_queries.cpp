#include "query/check_queries.h"

#include <string>

#include "base/errors.h"

namespace vb::query {

void check_queries(const index::Index& index, std::size_t m, std::size_t dq, std::optional<std::size_t> exclude_len) {
  if (exclude_len && *exclude_len < m) {
    throw ArgumentError("exclude_ids has " + std::to_string(*exclude_len) + " entries but there are " +
                        std::to_string(m) + " queries");
  }
  if (index.n_points > 0 && dq != index.d) {
    throw ArgumentError("queries have " + std::to_string(dq) + " columns but the index holds " +
                        std::to_string(index.d) + "-dimensional points");
  }
}

}  // namespace vb::query
