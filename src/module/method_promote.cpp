#include "maintenance/promote.h"
#include "module/arrays.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {
const Signature kPromote{"promote", {"new_candidates"}, 1};
}

PyObject* index_promote(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<ExclusiveBorrow, 1>(kPromote, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    ArrayArg batch = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "new_candidates");
    const std::size_t m = batch.dim(0);
    const std::size_t columns = batch.dim(1);
    const Buffer<double> values = engine.unit_rows(batch);
    without_gil([&] { vb::maintenance::promote(engine.index, values, m, columns); });
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
