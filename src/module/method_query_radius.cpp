#include <optional>
#include <utility>

#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"
#include "module/index_object.h"
#include "query/check_queries.h"
#include "query/radius.h"

namespace vb::module {

namespace {
const Signature kQueryRadius{"query_radius", {"queries", "radius", "exclude_ids"}, 2};
}

PyObject* index_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    PyObject* a[3];
    bind_fastcall(kQueryRadius, args, nargsf, kwnames, a);
    SharedBorrow borrow(obj.borrow);
    const vb::index::Index& index = *obj.index;
    ArrayArg queries = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "queries");
    const double radius = to_f64(a[1], "radius");
    std::optional<ArrayArg> exclude = ArrayArg::convert_optional(a[2], 1, NPY_INT64, "exclude_ids");
    const std::size_t m = queries.dim(0);
    const std::size_t dq = queries.dim(1);
    Buffer<double> values = queries.copy_f64();
    Buffer<std::int64_t> excluded;
    if (exclude) excluded = exclude->copy_i64();
    query::check_queries(index, m, dq, exclude ? std::optional<std::size_t>(exclude->size()) : std::nullopt);

    query::RadiusResult found;
    {
      GilRelease unlocked;
      found = query::query_radius(index, values.data(), m, dq, radius, exclude ? excluded.data() : nullptr);
    }
    PyRef indptr = to_array(std::move(found.indptr));
    PyRef ids = to_array(std::move(found.ids));
    PyRef dists = to_array(std::move(found.dists));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

}  // namespace vb::module
