#include <utility>

#include "index/build.h"
#include "module/arrays.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {
const Signature kBuild{"build", {"points", "n_static"}, 2};
}

PyObject* index_build(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<ExclusiveBorrow, 2>(kBuild, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    ArrayArg points = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "points");
    const std::size_t n_static = to_u64(a[1], "n_static");
    const std::size_t n = points.dim(0);
    const std::size_t d = points.dim(1);
    Buffer<double> values = engine.unit_rows(points);
    without_gil([&] { vb::index::build(engine.index, std::move(values), n, d, n_static); });
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
