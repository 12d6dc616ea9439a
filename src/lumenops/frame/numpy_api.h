// NumPy's C API, shared by every translation unit of the module.
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL pictor_ARRAY_API
#ifndef PICTOR_IMPORTS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
