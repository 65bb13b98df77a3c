// numpy's C API, for the files that read and make arrays directly.  All of
// them share one table of numpy's functions; pyops.cpp fills it at exec.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL core_math_numpy_api
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#ifndef CORE_MATH_FILLS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
