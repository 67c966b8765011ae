// The one class of an extension module and its __all__ entry, added by the
// module's exec function after it has imported the NumPy API table.
#include "module/add_class.h"

#include "module/guard.h"

namespace vb::module {

int add_class(PyObject* module, PyTypeObject* (*type_of)(), const char* name) {
  return guard(-1, [&]() -> int {
    PyTypeObject* type = type_of();
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
    PyRef class_name = PyRef::steal(PyUnicode_FromString(name));
    check(PyList_Append(all.get(), class_name.get()));
    check(PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)));
    return 0;
  });
}

}  // namespace vb::module
