#pragma once

#include <Python.h>

#include <cstdint>

#include "py/ref.h"
#include "support/bbox.h"

namespace karvex {
class RunHooks;
class WorkerPool;
}  // namespace karvex

namespace karvex::py {

// What one meshing call asks for, its arguments converted and validated.
struct MeshingRequest {
  std::uint32_t min_depth = 3;
  std::uint32_t max_depth = 7;
  double angle_threshold_deg = 30.0;
  double iso_value = 0.0;
  bool adaptive = false;  // balance instead of refining every surface cell
  bool keep_all = false;  // every connected piece instead of the largest
  // Above 0: collapse cells while their error stays within this distance
  // (world units); 0 or less: no simplification.
  double simplify = 0.0;
  bool find_small = false;     // test the initial grid's cells for hidden surface
  WorkerPool* pool = nullptr;  // nullptr: the process-wide pool
  RunHooks* hooks = nullptr;   // progress and polls; see RunMonitor
};

// The meshing run of both modules: builds the octree of `eval_fn` over the
// box, runs Dual Contouring and returns (vertices float64 (V, 3), faces
// int64 (F, 3)) handed to NumPy without a further copy. Depths must be
// validated (<= 31, min <= max). Errors of eval_fn and of the hooks pass
// unchanged; invariant failures throw InvariantFailure.
Ref mesh_arrays_impl(PyObject* eval_fn, const BBox& box, const MeshingRequest& request);

}  // namespace karvex::py
