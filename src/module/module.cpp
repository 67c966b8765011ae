// Module initialisation: multi-phase, one exec function that adds the class
// and __all__. The NumPy API table is imported here and nowhere else.
#define VB_NUMPY_IMPORT
#include "module/numpy_api.h"

#include "module/add_class.h"
#include "module/index_object.h"

namespace vb::module {

namespace {

int exec_module(PyObject* module) {
  import_array1(-1);
  return add_class(module, index_type, "RustLshIndex");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vb::module

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vb::module::module_def); }
