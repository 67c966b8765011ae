#include "maintenance/promote.h"
#include "module/args.h"
#include "module/arrays.h"
#include "module/guard.h"
#include "module/index_object.h"

namespace vb::module {

namespace {
const Signature kPromote{"promote", {"new_candidates"}, 1};
}

PyObject* index_promote(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    PyObject* a[1];
    bind_fastcall(kPromote, args, nargsf, kwnames, a);
    ExclusiveBorrow borrow(obj.borrow);
    ArrayArg batch = ArrayArg::convert(a[0], 2, NPY_FLOAT64, "new_candidates");
    const std::size_t m = batch.dim(0);
    const std::size_t columns = batch.dim(1);
    const Buffer<double> values = batch.copy_f64();
    {
      GilRelease unlocked;
      vb::maintenance::promote(obj.engine->index, values, m, columns);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
