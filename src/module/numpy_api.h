#pragma once

// Every file of the module that uses the NumPy C API includes this header. The
// API table is shared under one symbol; only module.cpp (which defines
// VB_NUMPY_IMPORT before including this) imports it, the others reference it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The oldest NumPy the module runs under. NumPy 2's headers then emit a module
// that imports under 1.24 as well as 2.x (one built against 1.x headers is
// refused by 2.x), and nothing deprecated by 1.24 compiles. NumPy 1.24's own
// headers ignore the target and build for 1.24 and later 1.x.
#define NPY_TARGET_VERSION NPY_1_24_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_1_24_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vb_numpy_array_api
#ifndef VB_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// The build names the ABI of the NumPy it builds against; other headers found
// first (an interpreter's include directory may hold a numpy/ of its own) would
// make a module that refuses the NumPy it was built for.
#if defined(VB_NUMPY_ABI) && VB_NUMPY_ABI != NPY_ABI_VERSION
#error "NumPy headers other than the building NumPy's were included"
#endif
