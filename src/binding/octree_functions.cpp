// build_octree_uniform and build_octree_adaptive: build an octree over the
// caller's field and report its shape as six counts instead of a mesh.
#include <cstdint>
#include <string_view>

#include "args.h"
#include "build/build.h"
#include "eval/bridge.h"
#include "functions.h"
#include "octree/mod.h"
#include "pool/run_monitor.h"
#include "py/errors.h"
#include "run_hooks.h"
#include "support/bbox.h"
#include "validate.h"

namespace karvex::py {

namespace {

constexpr std::string_view kUniformParams[] = {"eval_fn", "bbox_min", "bbox_max", "depth",
                                               "iso_value"};
constexpr Signature kUniformSignature{"build_octree_uniform", kUniformParams, 4};

constexpr std::string_view kAdaptiveParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                                "min_depth", "max_depth", "iso_value"};
constexpr Signature kAdaptiveSignature{"build_octree_adaptive", kAdaptiveParams, 5};

// The statistics entry points always refine with the default angle and never
// balance; only extract_mesh exposes those.
constexpr double kStatsAngleThresholdDeg = 30.0;

// Builds without balancing and returns (leaf_count, internal_count,
// empty_count, full_count, max_leaf_depth, evaluation_count). Depths are
// validated (<= 31, min <= max).
Ref octree_stats_impl(PyObject* eval_fn, const BBox& box, std::uint32_t min_depth,
                      std::uint32_t max_depth, double iso_value) {
  PythonField field(eval_fn);
  BuildOptions options;
  options.min_depth = static_cast<std::uint8_t>(min_depth);
  options.max_depth = static_cast<std::uint8_t>(max_depth);
  options.balance = false;
  options.iso_value = iso_value;
  options.angle_threshold_deg = kStatsAngleThresholdDeg;

  OctreeStats stats;
  {
    // Polls for signals (Ctrl-C) between chunks of the build.
    PythonRunHooks hooks;
    const RunMonitor monitor(&hooks);
    const BuildResult built = build_octree(field, box, options);
    stats = count_nodes(built.octree);
    stats.evaluation_count = built.evaluation_count;
  }  // the octree is released before the result is made

  const unsigned long long counts[6] = {stats.leaf_count,     stats.internal_count,
                                        stats.empty_count,    stats.full_count,
                                        stats.max_leaf_depth, stats.evaluation_count};
  Ref tuple = checked(PyTuple_New(6));
  for (Py_ssize_t i = 0; i < 6; ++i) {
    PyTuple_SET_ITEM(tuple.get(), i, checked(PyLong_FromUnsignedLongLong(counts[i])).release());
  }
  return tuple;
}

}  // namespace

PyObject* karvex_build_octree_uniform(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kUniformSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    const std::uint32_t depth = a.u32(3);
    const double iso_value = a.real(4, 0.0);
    validate_box(box);
    validate_depth("depth", depth);
    validate_finite("iso_value", iso_value);
    return octree_stats_impl(eval_fn.get(), box, depth, depth, iso_value);
  });
}

PyObject* karvex_build_octree_adaptive(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kAdaptiveSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    const std::uint32_t min_depth = a.u32(3);
    const std::uint32_t max_depth = a.u32(4);
    const double iso_value = a.real(5, 0.0);
    validate_box(box);
    validate_depth("min_depth", min_depth);
    validate_depth("max_depth", max_depth);
    validate_depth_order(min_depth, max_depth);
    validate_finite("iso_value", iso_value);
    return octree_stats_impl(eval_fn.get(), box, min_depth, max_depth, iso_value);
  });
}

}  // namespace karvex::py
