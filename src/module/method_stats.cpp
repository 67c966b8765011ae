#include <cstdint>

#include "module/method_frame.h"
#include "query/profile.h"

namespace vb::module {

PyObject* index_stats(PyObject* self, PyObject*) {
  return method_frame<SharedBorrow>(self, [](Engine& engine) -> PyObject* {
    const query::Counters& counters = engine.counters;
    const struct {
      const char* name;
      std::uint64_t value;
    } entries[] = {
        {"gather_ns", counters.gather_ns.load(std::memory_order_relaxed)},
        {"refine_ns", counters.refine_ns.load(std::memory_order_relaxed)},
        {"relax_ns", counters.relax_ns.load(std::memory_order_relaxed)},
        {"queries", counters.queries.load(std::memory_order_relaxed)},
        {"cands", counters.cands.load(std::memory_order_relaxed)},
        {"pairs", counters.pairs.load(std::memory_order_relaxed)},
        {"relaxed", counters.relaxed.load(std::memory_order_relaxed)},
        {"block", engine.index.block},
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
  return method_frame<SharedBorrow>(self, [](Engine& engine) -> PyObject* {
    engine.counters.reset();
    Py_RETURN_NONE;
  });
}

}  // namespace vb::module
