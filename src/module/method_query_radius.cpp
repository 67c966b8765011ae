#include <optional>
#include <utility>

#include "module/arrays.h"
#include "module/method_frame.h"
#include "module/query_batch.h"
#include "query/radius.h"

namespace vb::module {

namespace {
const Signature kQueryRadius{"query_radius", {"queries", "radius", "exclude_ids"}, 2};
}

PyObject* index_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<SharedBorrow, 3>(kQueryRadius, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    const vb::index::Index& index = engine.index;
    ArrayArg queries = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const double radius = to_f64(a[1], "radius");
    std::optional<ArrayArg> exclude = ArrayArg::convert_optional(a[2], 1, NPY_INT64, "exclude_ids");
    const QueryBatch batch = copy_query_batch(engine, queries, exclude);

    query::RadiusResult found = without_gil([&] {
      return query::query_radius(index, batch.values.data(), batch.m, batch.dq, radius, batch.exclude_ids());
    });
    PyRef indptr = to_array(std::move(found.indptr));
    PyRef ids = to_array(std::move(found.ids));
    PyRef dists = to_array(std::move(found.dists));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

}  // namespace vb::module
