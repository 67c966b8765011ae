#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vb::module {

// The poll of a call made with the interpreter lock released (a
// pool::ScopedWatch's poll): takes the lock back for a moment through the
// saved thread state that `context` points to, runs the pending signal
// handlers, and releases it again. True when a handler raised (Ctrl-C's
// KeyboardInterrupt, say): the exception stays set for the call to report.
bool poll_signals(void* context);

}  // namespace vb::module
