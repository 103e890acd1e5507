#pragma once

#include <Python.h>

// The five module functions, in the fast calling convention with keywords
// (self is the module; `args` holds `nargs` positional values followed by
// one value per name in the tuple `kwnames`, or kwnames is null). Each binds
// and converts its arguments, calls its plain C++ `_impl` and returns a new
// reference, or null with a Python exception set. None of them lets a C++
// exception escape.

namespace karvex::py {

// extract_mesh.cpp
PyObject* karvex_extract_mesh(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// octree_functions.cpp
PyObject* karvex_build_octree_uniform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
PyObject* karvex_build_octree_adaptive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// eval_functions.cpp
PyObject* karvex_test_batch_eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* karvex_test_fd_gradients(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace karvex::py
