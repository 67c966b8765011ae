#pragma once

// The definition of an extension module that holds one class: multi-phase,
// one exec function that imports the NumPy API table and adds the class and
// __all__. Include it from the module's own file only, after numpy_api.h with
// VB_NUMPY_IMPORT defined, so that the table is imported once per extension.
#include "module/add_class.h"
#include "module/environment.h"

namespace vb::module {

// Names: static constexpr const char* module_name and class_name, and
// static PyTypeObject* type().
template <class Names>
struct OneClassModule {
  static int exec(PyObject* module) {
    import_array1(-1);
    apply_environment();
    return add_class(module, Names::type, Names::class_name);
  }

  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_gil
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
      {0, nullptr},
  };

  static inline PyModuleDef def = {
      PyModuleDef_HEAD_INIT, Names::module_name, "", 0, nullptr, slots, nullptr, nullptr, nullptr,
  };

  static PyObject* init() { return PyModuleDef_Init(&def); }
};

}  // namespace vb::module
