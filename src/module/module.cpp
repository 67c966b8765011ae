// Module initialisation of the unit-torus engine. The NumPy API table is
// imported here and nowhere else in this extension.
#define VB_NUMPY_IMPORT
#include "module/numpy_api.h"

#include "module/index_object.h"
#include "module/one_class_module.h"

namespace {

struct Native {
  static constexpr const char* module_name = "_native";
  static constexpr const char* class_name = "RustLshIndex";
  static PyTypeObject* type() { return vb::module::index_type(); }
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return vb::module::OneClassModule<Native>::init(); }
