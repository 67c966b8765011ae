#include "maintenance/refresh.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"
#include "module/index_object.h"

namespace vb::module {

namespace {
const Signature kUpdate{"update", {"coords"}, 1};
}

PyObject* index_update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    PyObject* a[1];
    bind_fastcall(kUpdate, args, nargsf, kwnames, a);
    ExclusiveBorrow borrow(obj.borrow);
    ArrayArg coords = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "coords");
    const Buffer<double> values = coords.copy_f64();
    {
      GilRelease unlocked;
      vb::maintenance::update(obj.engine->index, values);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
