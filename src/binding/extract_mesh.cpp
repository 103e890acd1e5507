// extract_mesh: field in, mesh out. Builds the octree, runs Dual Contouring
// and hands the mesh to NumPy without a further copy (meshing.h).
#include <cstdint>
#include <string_view>

#include "args.h"
#include "functions.h"
#include "meshing.h"
#include "py/errors.h"
#include "run_hooks.h"
#include "support/bbox.h"
#include "validate.h"

namespace karvex::py {

namespace {

constexpr std::string_view kExtractMeshParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                                   "min_depth", "max_depth", "angle_threshold_deg",
                                                   "iso_value", "adaptive"};
constexpr Signature kExtractMeshSignature{"extract_mesh", kExtractMeshParams, 3};

constexpr std::uint32_t kDefaultMinDepth = 3;
constexpr std::uint32_t kDefaultMaxDepth = 7;
constexpr double kDefaultAngleThresholdDeg = 30.0;
constexpr double kDefaultIsoValue = 0.0;
constexpr bool kDefaultAdaptive = false;

// (vertices float64 (V, 3), faces int64 (F, 3)). Depths are validated
// (<= 31, min <= max). `adaptive` selects balancing over refinement of every
// surface cell to max_depth. The call polls for signals (Ctrl-C) between
// chunks of native work; it reports no progress, keeps the largest piece and
// runs on the process-wide pool.
Ref extract_mesh_impl(PyObject* eval_fn, const BBox& box, std::uint32_t min_depth,
                      std::uint32_t max_depth, double angle_threshold_deg, double iso_value,
                      bool adaptive) {
  PythonRunHooks hooks;
  MeshingRequest request;
  request.min_depth = min_depth;
  request.max_depth = max_depth;
  request.angle_threshold_deg = angle_threshold_deg;
  request.iso_value = iso_value;
  request.adaptive = adaptive;
  request.hooks = &hooks;
  return mesh_arrays_impl(eval_fn, box, request);
}

}  // namespace

PyObject* karvex_extract_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kExtractMeshSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    const std::uint32_t min_depth = a.u32(3, kDefaultMinDepth);
    const std::uint32_t max_depth = a.u32(4, kDefaultMaxDepth);
    const double angle_threshold_deg = a.real(5, kDefaultAngleThresholdDeg);
    const double iso_value = a.real(6, kDefaultIsoValue);
    const bool adaptive = a.flag(7, kDefaultAdaptive);
    validate_box(box);
    validate_depth("min_depth", min_depth);
    validate_depth("max_depth", max_depth);
    validate_depth_order(min_depth, max_depth);
    validate_finite("angle_threshold_deg", angle_threshold_deg);
    validate_finite("iso_value", iso_value);
    return extract_mesh_impl(eval_fn.get(), box, min_depth, max_depth, angle_threshold_deg,
                             iso_value, adaptive);
  });
}

}  // namespace karvex::py
