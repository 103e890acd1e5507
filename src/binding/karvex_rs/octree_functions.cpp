// build_octree_uniform and build_octree_adaptive: build an octree over the
// caller's field and report its shape as six counts instead of a mesh.
#include <cstdint>
#include <string_view>

#include "common/args.h"
#include "common/eval/bridge.h"
#include "common/py/errors.h"
#include "common/run_hooks.h"
#include "common/validate.h"
#include "construction/build.h"
#include "karvex_rs/functions.h"
#include "octree/octree.h"
#include "pool/run_monitor.h"
#include "support/bbox.h"
#include "support/meshing_options.h"

namespace karvex::py {

namespace {

constexpr std::string_view kUniformParams[] = {"eval_fn", "bbox_min", "bbox_max", "depth",
                                               "iso_value"};
constexpr Signature kUniformSignature{"build_octree_uniform", kUniformParams, 4};

constexpr std::string_view kAdaptiveParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                                "min_depth", "max_depth", "iso_value"};
constexpr Signature kAdaptiveSignature{"build_octree_adaptive", kAdaptiveParams, 5};

// Builds without balancing (the statistics entry points always refine with
// the default angle) and returns (leaf_count, internal_count, empty_count,
// full_count, max_leaf_depth, evaluation_count) of validated options.
Ref octree_stats_impl(PyObject* eval_fn, const BBox& box, const MeshingOptions& options) {
  PythonField field(eval_fn);

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
    MeshingOptions options;
    options.min_depth = options.max_depth = a.u32(3);
    options.level = a.real(4, options.level);
    validate_options(options, box, {.min_depth = "depth", .max_depth = "depth"});
    return octree_stats_impl(eval_fn.get(), box, options);
  });
}

PyObject* karvex_build_octree_adaptive(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kAdaptiveSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    MeshingOptions options;
    options.min_depth = a.u32(3);
    options.max_depth = a.u32(4);
    options.level = a.real(5, options.level);
    validate_options(options, box);
    return octree_stats_impl(eval_fn.get(), box, options);
  });
}

}  // namespace karvex::py
