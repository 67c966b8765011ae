#pragma once

// Every file of the module that uses the NumPy C API includes this header. The
// API table is shared under one symbol; only module.cpp (which defines
// VB_NUMPY_IMPORT before including this) imports it, the others reference it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vb_numpy_array_api
#ifndef VB_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
