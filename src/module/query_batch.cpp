#include "module/query_batch.h"

#include "query/check_queries.h"

namespace vb::module {

QueryBatch copy_query_batch(const Engine& engine, const ArrayArg& queries, const std::optional<ArrayArg>& exclude) {
  QueryBatch batch;
  batch.m = queries.dim(0);
  batch.dq = queries.dim(1);
  batch.values = engine.unit_rows(queries);
  if (exclude) batch.excluded = exclude->copy_i64();
  query::check_queries(engine.index, batch.m, batch.dq,
                       exclude ? std::optional<std::size_t>(exclude->size()) : std::nullopt);
  return batch;
}

}  // namespace vb::module
