// extract_mesh: field in, mesh out. Builds the octree, runs Dual Contouring
// and hands the mesh to NumPy without a further copy.
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "args.h"
#include "build/build.h"
#include "dc/extract.h"
#include "eval/bridge.h"
#include "functions.h"
#include "py/errors.h"
#include "py/slice_container.h"
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

// The mesh as two flat buffers (x, y, z per vertex; three indices per
// triangle), the one copy made on the way to NumPy.
std::pair<std::vector<double>, std::vector<std::int64_t>> flatten(const Mesh& mesh) {
  std::vector<double> vertices;
  vertices.reserve(3 * mesh.vertices.size());
  for (const Vec3& v : mesh.vertices) {
    vertices.push_back(v.x);
    vertices.push_back(v.y);
    vertices.push_back(v.z);
  }
  std::vector<std::int64_t> faces;
  faces.reserve(3 * mesh.faces.size());
  for (const auto& face : mesh.faces) {
    for (const std::uint64_t index : face) faces.push_back(static_cast<std::int64_t>(index));
  }
  return {std::move(vertices), std::move(faces)};
}

// (vertices float64 (V, 3), faces int64 (F, 3)). Depths are validated
// (<= 31, min <= max). `adaptive` selects balancing over refinement of every
// surface cell to max_depth.
Ref extract_mesh_impl(PyObject* eval_fn, const BBox& box, std::uint32_t min_depth,
                      std::uint32_t max_depth, double angle_threshold_deg, double iso_value,
                      bool adaptive) {
  PythonField field(eval_fn);
  BuildOptions options;
  options.min_depth = static_cast<std::uint8_t>(min_depth);
  options.max_depth = static_cast<std::uint8_t>(max_depth);
  options.balance = adaptive;
  options.iso_value = iso_value;
  options.angle_threshold_deg = angle_threshold_deg;

  std::vector<double> vertex_buffer;
  std::vector<std::int64_t> face_buffer;
  {
    const BuildResult built = build_octree(field, box, options);
    const Mesh mesh = extract_surface(built.octree, field, angle_threshold_deg);
    std::tie(vertex_buffer, face_buffer) = flatten(mesh);
  }  // octree and mesh are released before the arrays are made

  Ref vertices = py::rows_of_three(std::move(vertex_buffer));
  Ref faces = py::rows_of_three(std::move(face_buffer));
  return checked(PyTuple_Pack(2, vertices.get(), faces.get()));
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
    return extract_mesh_impl(eval_fn.get(), box, min_depth, max_depth, angle_threshold_deg,
                             iso_value, adaptive);
  });
}

}  // namespace karvex::py
