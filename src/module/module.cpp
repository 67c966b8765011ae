// Module initialisation: multi-phase, one exec function that adds the class
// and __all__. The NumPy API table is imported here and nowhere else.
#define VB_NUMPY_IMPORT
#include "module/numpy_api.h"

#include "module/guard.h"
#include "module/index_object.h"

namespace vb::module {

namespace {

int exec_module(PyObject* module) {
  import_array1(-1);
  return guard(-1, [&]() -> int {
    PyTypeObject* type = index_type();
    if (type == nullptr) throw PyErrSet{};

    PyRef all;
    PyObject* existing = PyObject_GetAttrString(module, "__all__");
    if (existing != nullptr) {
      all = PyRef::steal(existing);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      all = PyRef::steal(PyList_New(0));
      check(PyObject_SetAttrString(module, "__all__", all.get()));
    } else {
      throw PyErrSet{};
    }
    if (!PyList_Check(all.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'", Py_TYPE(all.get())->tp_name);
      throw PyErrSet{};
    }
    PyRef name = PyRef::steal(PyUnicode_FromString("RustLshIndex"));
    check(PyList_Append(all.get(), name.get()));
    check(PyObject_SetAttrString(module, "RustLshIndex", reinterpret_cast<PyObject*>(type)));
    return 0;
  });
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
