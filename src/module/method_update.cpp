#include "maintenance/refresh.h"
#include "module/arrays.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {
const Signature kUpdate{"update", {"coords"}, 1};
}

PyObject* index_update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return method_frame<ExclusiveBorrow, 1>(kUpdate, self, args, nargsf, kwnames, [](Engine& engine, PyObject** a) {
    ArrayArg coords = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "coords");
    const Buffer<double> values = engine.unit_rows(coords);
    without_gil([&] { vb::maintenance::update(engine.index, values); });
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
