#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "common/py/ref.h"
#include "dc/mesh.h"
#include "support/vec3.h"

namespace karvex::py {

// Hands a flat buffer of 3n values to NumPy without copying it: the result is
// an (n, 3) C-contiguous writeable array (float64, respectively int64) whose
// memory belongs to a PySliceContainer holder set as the array's base. The
// holder frees the buffer when the array and every view of it are gone. With
// n = 0 the array has shape (0, 3) and strides (0, 0).
//
// `values.size()` must be a multiple of 3. A holder that cannot be created is
// an InvariantFailure ("Failed to create slice container: ..."); other
// interpreter failures throw PythonError. The buffer is freed on every path.
Ref rows_of_three(std::vector<double>&& values);
Ref rows_of_three(std::vector<std::int64_t>&& values);

// The same for points (float64 rows x, y, z) and triangles (int64 rows of
// vertex numbers), handed over as they are: no flat copy is made.
Ref rows_of_three(std::vector<Vec3>&& points);
Ref rows_of_three(std::vector<Triangle>&& triangles);

// The same for a tile run's vertex keys: a uint64 (n, 2) array, one row per
// vertex (dc/vertex_keys.h).
Ref key_rows(std::vector<VertexKey>&& keys);

}  // namespace karvex::py
