#pragma once

#include <Python.h>

#include <string>

// The functions of karvex._native, in the fast calling convention with
// keywords (see karvex_rs/functions.h). None lets a C++ exception escape.

namespace karvex::py {

// extract_mesh.cpp
PyObject* karvex_native_extract_mesh(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

// sample_volume.cpp: sample_volume(volume, points) -> (values, gradients), the
// native volume field (volume as extract_mesh's volume=) at float64 (N, 3)
// points, uncapped.
PyObject* karvex_native_sample_volume(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);

// The first line of extract_mesh's docstring, "extract_mesh(field, ...)",
// made from its parameter table.
std::string native_extract_mesh_signature();

// self_intersections.cpp: positional arguments only (METH_FASTCALL).
PyObject* karvex_native_self_intersections(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* karvex_native_is_one_sheet(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* karvex_native_bad_faces_near(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* karvex_native_undone_steps(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* karvex_native_clean_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
// relax_folds(vertices, faces, /, *, rounds, first=None, max_move=None, bad=None, in_place=False,
//             certified=None)
PyObject* karvex_native_relax_folds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// sheet_split.cpp: sheet_copies(vertices, faces, /, *, broken=None) -> (originals, corners,
// taken, crowded) and part_shared_edges(vertices, faces, /) -> (vertices, faces, added).
PyObject* karvex_native_sheet_copies(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* karvex_native_part_shared_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

}  // namespace karvex::py
