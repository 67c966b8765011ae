#include "module/arrays.h"
#include "module/method_frame.h"

namespace vb::module {

namespace {

// A fresh (l, run length) int64 copy of a table-major field.
PyRef export_field(const Buffer<std::int64_t>& field, std::size_t l, std::size_t run) {
  Buffer<std::int64_t> copy(field.begin(), field.end());
  return reshape(to_array(std::move(copy)), l, run);
}

}  // namespace

PyObject* index_tables(PyObject* self, PyObject*) {
  return method_frame<SharedBorrow>(self, [](Engine& engine) -> PyObject* {
    const vb::index::Index& ix = engine.index;
    PyRef tables = PyRef::steal(PyDict_New());
    const struct {
      const char* name;
      const Buffer<std::int64_t>& field;
      std::size_t run;
    } entries[] = {
        {"static_keys", ix.static_keys, ix.n_static},
        {"static_ids", ix.static_ids, ix.n_static},
        {"cand_keys", ix.cand_keys, ix.n_cand()},
        {"cand_sorted_keys", ix.cand_sorted_keys, ix.n_cand()},
        {"cand_sorted_ids", ix.cand_sorted_ids, ix.n_cand()},
    };
    for (const auto& entry : entries) {
      PyRef array = export_field(entry.field, ix.l, entry.run);
      check(PyDict_SetItemString(tables.get(), entry.name, array.get()));
    }
    return tables.release();
  });
}

}  // namespace vb::module
