#include "module/interrupt.h"

#include <string>

#include "module/py_ref.h"
#include "pool/pool.h"

namespace vb::module {

PyThreadState* release_for_engine() {
  const std::string note = pool::take_start_note();
  if (!note.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, note.c_str(), 1) < 0) throw PyErrSet{};
  return PyEval_SaveThread();
}

bool poll_signals(void* context) {
  PyThreadState*& state = *static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(state);
  const bool raised = PyErr_CheckSignals() != 0;
  state = PyEval_SaveThread();
  return raised;
}

}  // namespace vb::module
