#pragma once

#include <Python.h>

// The functions of karvex._native, in the fast calling convention with
// keywords (see functions.h). None lets a C++ exception escape.

namespace karvex::py {

// native_extract.cpp
PyObject* karvex_native_extract_mesh(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace karvex::py
