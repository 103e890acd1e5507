#pragma once

// The one way binding files include the NumPy C API. The API table is
// defined in numpy_api.cpp only; every other file sees it as external.
#include <Python.h>

#ifndef KARVEX_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

namespace karvex::py {

// Loads the NumPy C API on first use (cheap afterwards). A NumPy that cannot
// be imported or whose API table cannot be read is an InvariantFailure whose
// message begins "Failed to access NumPy array API capsule".
void ensure_numpy_api();

}  // namespace karvex::py
