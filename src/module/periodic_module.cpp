// Module initialisation of the periodic engine: the periodic LSH index, the
// exact cell search and its row splitter, the functions about its pool and the
// tuner's counts of what a table would look up. The NumPy API table of this
// extension is imported here and nowhere else.
#define VB_NUMPY_IMPORT
#include "module/numpy_api.h"

#include "module/add_class.h"
#include "module/cell_index_object.h"
#include "module/cell_docstrings.h"
#include "module/census_object.h"
#include "module/environment.h"
#include "module/index_object.h"
#include "module/pool_functions.h"

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

int exec(PyObject* module) {
  import_array1(-1);
  // Each extension keeps its own copy of the switches the environment sets.
  vb::module::apply_environment();
  if (vb::module::add_class(module, vb::module::periodic_index_type, "PeriodicLshIndex") < 0) return -1;
  if (vb::module::add_class(module, vb::module::census_rows_type, "CensusRows") < 0) return -1;
  return vb::module::add_class(module, vb::module::cell_index_type, "CellIndex");
}

PyMethodDef functions[] = {
    {"split_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                       static_cast<FastCall>(vb::module::split_rows))),
     METH_FASTCALL | METH_KEYWORDS, vb::module::doc::kSplitRows},
    vb::module::pool_threads_function(),
    vb::module::call_with_threads_function(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "_periodic", "", 0, functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__periodic(void) { return PyModuleDef_Init(&def); }
