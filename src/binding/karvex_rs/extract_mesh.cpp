// extract_mesh: field in, mesh out. Builds the octree, runs Dual Contouring
// and hands the mesh to NumPy without a further copy (meshing.h).
#include <cstdint>
#include <string_view>

#include "common/args.h"
#include "common/meshing.h"
#include "common/py/errors.h"
#include "common/run_hooks.h"
#include "common/validate.h"
#include "karvex_rs/functions.h"
#include "support/bbox.h"
#include "support/meshing_options.h"

namespace karvex::py {

namespace {

constexpr std::string_view kExtractMeshParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                                   "min_depth", "max_depth", "angle_threshold_deg",
                                                   "iso_value", "adaptive"};
constexpr Signature kExtractMeshSignature{"extract_mesh", kExtractMeshParams, 3};

// (vertices float64 (V, 3), faces int64 (F, 3)) of validated options. The
// call polls for signals (Ctrl-C) between chunks of native work and reports
// no progress.
Ref extract_mesh_impl(PyObject* eval_fn, const BBox& box, MeshingOptions options) {
  PythonRunHooks hooks;
  options.run.hooks = &hooks;
  return mesh_arrays_impl(eval_fn, box, options);
}

}  // namespace

PyObject* karvex_extract_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kExtractMeshSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    // The defaults are the record's; this module never looks for small
    // features, keeps the largest piece and runs on the process-wide pool.
    MeshingOptions options;
    options.min_depth = a.u32(3, static_cast<std::uint32_t>(options.min_depth));
    options.max_depth = a.u32(4, static_cast<std::uint32_t>(options.max_depth));
    options.sharp_angle = a.real(5, options.sharp_angle);
    options.level = a.real(6, options.level);
    options.adaptive = a.flag(7, options.adaptive);
    validate_options(options, box);
    return extract_mesh_impl(eval_fn.get(), box, options);
  });
}

}  // namespace karvex::py
