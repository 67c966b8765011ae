// The periodic index's searches by indexed ids: the ids are the only array
// that crosses; the rows are the index's own.
#include <utility>

#include "base/checked_size.h"
#include "module/arrays.h"
#include "module/method_frame.h"
#include "query/by_ids.h"

namespace vb::module {

namespace {
const Signature kQueryKnnIds{"query_knn_ids", {"ids", "k"}, 2};
const Signature kQueryRadiusIds{"query_radius_ids", {"ids", "radius"}, 2};
}  // namespace

PyObject* index_query_knn_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<SharedBorrow, 2>(kQueryKnnIds, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    const vb::index::Index& index = engine.index;
    ArrayArg ids_arg = ArrayArg::convert(a[0], 1, NPY_INT64, "ids");
    const std::size_t k = to_u64(a[1], "k");
    const Buffer<std::int64_t> query_ids = ids_arg.copy_i64();
    const std::size_t m = query_ids.size();
    query::check_point_ids(index, query_ids.data(), m);  // before the results are allocated

    Buffer<std::int64_t> ids(checked_mul(m, k));
    Buffer<double> dists(ids.size());
    without_gil([&] {
      query::query_knn_ids(index, engine.counters, query_ids.data(), m, k, ids.data(), dists.data());
    });
    PyRef ids_array = reshape(to_array(std::move(ids)), m, k);
    PyRef dists_array = reshape(to_array(std::move(dists)), m, k);
    return PyTuple_Pack(2, ids_array.get(), dists_array.get());
  });
}

PyObject* index_query_radius_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<SharedBorrow, 2>(kQueryRadiusIds, self, args, nargsf, kwnames,
                                       [](Engine& engine, PyObject** a) {
    const vb::index::Index& index = engine.index;
    ArrayArg ids_arg = ArrayArg::convert(a[0], 1, NPY_INT64, "ids");
    const double radius = to_f64(a[1], "radius");
    const Buffer<std::int64_t> query_ids = ids_arg.copy_i64();
    query::RadiusResult found = without_gil([&] {
      return query::query_radius_ids(index, query_ids.data(), query_ids.size(), radius);
    });
    PyRef indptr = to_array(std::move(found.indptr));
    PyRef ids = to_array(std::move(found.ids));
    PyRef dists = to_array(std::move(found.dists));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

}  // namespace vb::module
