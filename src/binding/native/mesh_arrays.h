#pragma once

// NumPy arrays as the borrowed meshes of the core's validity functions, and
// the core's owned meshes back as NumPy arrays, for the validity entry points
// of karvex._native (self_intersections.cpp, sheet_split.cpp).

#include <Python.h>

#include <cstdint>
#include <vector>

#include "common/py/ref.h"
#include "validity/self_intersections.h"

namespace karvex::py {

// `value` as a C-contiguous array of NumPy `type` with `columns` columns (0:
// one dimension), converted if it is not one already; ValueError naming
// `name` for another shape.
Ref as_array(PyObject* value, int type, int columns, const char* name);

// The mesh of two arrays from as_array (vertices float64 (V, 3), faces int64
// (F, 3)); ValueError unless the vertices are finite and the faces in range.
validity::MeshView checked_view(const Ref& vertices, const Ref& faces);

// `value` (converted by as_array to one-dimensional int64) as numbers in
// increasing order, each below `count`; ValueError "<name> must hold <what>
// numbers in increasing order, each below <count>" otherwise.
std::vector<std::int64_t> increasing_numbers(PyObject* value, std::size_t count, const char* name, const char* what);

// New (n, 3) arrays holding a copy of `values` (3n of them).
Ref rows_of_three(const std::vector<double>& values);
Ref rows_of_three(const std::vector<std::int64_t>& values);

}  // namespace karvex::py
