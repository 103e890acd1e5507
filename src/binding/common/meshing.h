#pragma once

#include <Python.h>

#include "common/py/ref.h"
#include "field/field.h"
#include "support/bbox.h"
#include "support/meshing_options.h"

namespace karvex::py {

// The meshing run of both modules: builds the octree of `eval_fn` over the
// box, runs Dual Contouring and returns (vertices float64 (V, 3), faces
// int64 (F, 3)) handed to NumPy without a further copy; a tile run (options
// with a tile) adds its vertex keys, uint64 (V, 2). The options must
// pass check_meshing_options. Errors of eval_fn and of the hooks pass
// unchanged; invariant failures throw InvariantFailure.
Ref mesh_arrays_impl(PyObject* eval_fn, const BBox& box, const MeshingOptions& options);

// The same run for a field of any kind (the Python callable's, or one the
// core samples itself).
Ref mesh_arrays_of(Field& field, const BBox& box, const MeshingOptions& options);

}  // namespace karvex::py
