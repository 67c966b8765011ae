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

// Releases the interpreter lock for a call into the engine, as
// PyEval_SaveThread, after starting the worker pool if it is not running yet:
// when the pool had to start with fewer threads than asked for, a
// RuntimeWarning says so first (once per process). Throws PyErrSet when the
// warning is turned into an error.
PyThreadState* release_for_engine();

}  // namespace vb::module
