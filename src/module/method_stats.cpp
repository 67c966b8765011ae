#include <cstdint>

#include "module/guard.h"
#include "module/index_object.h"
#include "query/profile.h"

namespace vb::module {

PyObject* index_stats(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    SharedBorrow borrow(obj.borrow);
    const query::Counters& ix = obj.engine->counters;
    const struct {
      const char* name;
      std::uint64_t value;
    } entries[] = {
        {"gather_ns", ix.gather_ns.load(std::memory_order_relaxed)},
        {"refine_ns", ix.refine_ns.load(std::memory_order_relaxed)},
        {"relax_ns", ix.relax_ns.load(std::memory_order_relaxed)},
        {"queries", ix.queries.load(std::memory_order_relaxed)},
        {"cands", ix.cands.load(std::memory_order_relaxed)},
        {"pairs", ix.pairs.load(std::memory_order_relaxed)},
        {"relaxed", ix.relaxed.load(std::memory_order_relaxed)},
        {"block", obj.engine->index.block},
    };
    PyRef stats = PyRef::steal(PyDict_New());
    for (const auto& entry : entries) {
      PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(entry.value));
      check(PyDict_SetItemString(stats.get(), entry.name, value.get()));
    }
    return stats.release();
  });
}

PyObject* index_reset_stats(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    IndexObject& obj = receiver(self);
    SharedBorrow borrow(obj.borrow);
    obj.engine->counters.reset();
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
