// The meshing run behind both modules' extract_mesh: build, contour, hand the
// mesh to NumPy.
#include "meshing.h"

#include <tuple>
#include <utility>
#include <vector>

#include "build/build.h"
#include "dc/extract.h"
#include "eval/bridge.h"
#include "pool/run_monitor.h"
#include "py/errors.h"
#include "py/slice_container.h"
#include "support/alloc_context.h"

namespace karvex::py {

namespace {

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

}  // namespace

Ref mesh_arrays_impl(PyObject* eval_fn, const BBox& box, const MeshingRequest& request) {
  // Named for the report of an allocation failure once building and
  // contouring (which name their own work) have returned.
  const TaskScope task("handing the mesh to NumPy", -1);
  PythonField field(eval_fn);
  BuildOptions options;
  options.min_depth = static_cast<std::uint8_t>(request.min_depth);
  options.max_depth = static_cast<std::uint8_t>(request.max_depth);
  options.balance = request.adaptive;
  options.iso_value = request.iso_value;
  options.angle_threshold_deg = request.angle_threshold_deg;
  options.find_small = request.find_small;
  options.pool = request.pool;  // construction and balancing use the call's pool too
  ExtractControls controls;
  controls.pool = request.pool;
  controls.keep_all = request.keep_all;
  controls.simplify_tolerance = request.simplify;

  std::vector<double> vertex_buffer;
  std::vector<std::int64_t> face_buffer;
  {
    // One monitor over construction and extraction: both report their
    // stages to it and poll it between chunks of work.
    const RunMonitor monitor(request.hooks);
    const BuildResult built = build_octree(field, box, options);
    const Mesh mesh = extract_surface(built.octree, field, request.angle_threshold_deg, controls);
    std::tie(vertex_buffer, face_buffer) = flatten(mesh);
  }  // octree and mesh are released before the arrays are made

  Ref vertices = py::rows_of_three(std::move(vertex_buffer));
  Ref faces = py::rows_of_three(std::move(face_buffer));
  return checked(PyTuple_Pack(2, vertices.get(), faces.get()));
}

}  // namespace karvex::py
