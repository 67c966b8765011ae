#include <optional>
#include <utility>

#include "base/checked_size.h"
#include "module/arrays.h"
#include "module/method_frame.h"
#include "module/query_batch.h"
#include "query/knn.h"

namespace vb::module {

namespace {
const Signature kQueryKnn{"query_knn", {"queries", "k", "exclude_ids"}, 2};
}

PyObject* index_query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<SharedBorrow, 3>(kQueryKnn, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    const vb::index::Index& index = engine.index;
    ArrayArg queries = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const std::size_t k = to_u64(a[1], "k");
    std::optional<ArrayArg> exclude = ArrayArg::convert_optional(a[2], 1, NPY_INT64, "exclude_ids");
    const QueryBatch batch = copy_query_batch(engine, queries, exclude);
    const std::size_t m = batch.m;

    Buffer<std::int64_t> ids(checked_mul(m, k));
    Buffer<double> dists(ids.size());
    const query::KnnRequest request{{batch.values.data(), m, batch.dq, k, batch.exclude_ids()}, ids.data(), dists.data()};
    without_gil([&] { query::query_knn(index, engine.counters, request); });
    PyRef ids_array = reshape(to_array(std::move(ids)), m, k);
    PyRef dists_array = reshape(to_array(std::move(dists)), m, k);
    return PyTuple_Pack(2, ids_array.get(), dists_array.get());
  });
}

}  // namespace vb::module
