// Module initialisation of the periodic engine, in the shape of the
// unit-torus one, with the functions about its pool. The NumPy API table of
// this extension is imported here and nowhere else.
#define VB_NUMPY_IMPORT
#include "module/numpy_api.h"

#include "module/index_object.h"
#include "module/one_class_module.h"
#include "module/pool_functions.h"

namespace {

struct Periodic {
  static constexpr const char* module_name = "_periodic";
  static constexpr const char* class_name = "PeriodicLshIndex";
  static PyTypeObject* type() { return vb::module::periodic_index_type(); }
  static PyMethodDef* functions() { return vb::module::pool_functions(); }
};

}  // namespace

PyMODINIT_FUNC PyInit__periodic(void) { return vb::module::OneClassModule<Periodic>::init(); }
