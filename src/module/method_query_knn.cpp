#include <optional>
#include <utility>

#include "base/checked_size.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"
#include "module/index_object.h"
#include "module/query_batch.h"
#include "query/knn.h"

namespace vb::module {

namespace {
const Signature kQueryKnn{"query_knn", {"queries", "k", "exclude_ids"}, 2};
}

PyObject* index_query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    PyObject* a[3];
    bind_fastcall(kQueryKnn, args, nargsf, kwnames, a);
    SharedBorrow borrow(obj.borrow);
    const vb::index::Index& index = obj.engine->index;
    ArrayArg queries = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const std::size_t k = to_u64(a[1], "k");
    std::optional<ArrayArg> exclude = ArrayArg::convert_optional(a[2], 1, NPY_INT64, "exclude_ids");
    const QueryBatch batch = copy_query_batch(index, queries, exclude);
    const std::size_t m = batch.m;

    Buffer<std::int64_t> ids(checked_mul(m, k));
    Buffer<double> dists(ids.size());
    {
      GilRelease unlocked;
      query::query_knn(index, obj.engine->counters,
                       {{batch.values.data(), m, batch.dq, k, batch.exclude_ids()}, ids.data(), dists.data()});
    }
    PyRef ids_array = reshape(to_array(std::move(ids)), m, k);
    PyRef dists_array = reshape(to_array(std::move(dists)), m, k);
    return PyTuple_Pack(2, ids_array.get(), dists_array.get());
  });
}

}  // namespace vb::module
