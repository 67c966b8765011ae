#include "module/interrupt.h"

namespace vb::module {

bool poll_signals(void* context) {
  PyThreadState*& state = *static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(state);
  const bool raised = PyErr_CheckSignals() != 0;
  state = PyEval_SaveThread();
  return raised;
}

}  // namespace vb::module
