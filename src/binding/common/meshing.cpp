// The meshing run behind both modules' extract_mesh: build, contour, hand the
// mesh to NumPy.
#include "common/meshing.h"

#include <tuple>
#include <utility>
#include <vector>

#include "common/eval/bridge.h"
#include "common/py/errors.h"
#include "common/py/slice_container.h"
#include "construction/build.h"
#include "dc/extract.h"
#include "pool/run_monitor.h"
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

Ref mesh_arrays_impl(PyObject* eval_fn, const BBox& box, const MeshingOptions& options) {
  PythonField field(eval_fn);
  return mesh_arrays_of(field, box, options);
}

Ref mesh_arrays_of(Field& field, const BBox& box, const MeshingOptions& options) {
  // Named for the report of an allocation failure once building and
  // contouring (which name their own work) have returned.
  const TaskScope task("handing the mesh to NumPy", -1);

  std::vector<double> vertex_buffer;
  std::vector<std::int64_t> face_buffer;
  {
    // One monitor over construction and extraction: both report their
    // stages to it and poll it between chunks of work.
    const RunMonitor monitor(options.run.hooks);
    const BuildResult built = build_octree(field, box, options);
    MeshingOptions contouring = options;
    contouring.run.hooks = nullptr;  // the monitor above covers contouring too
    const Mesh mesh = extract_surface(built.octree, field, contouring);
    std::tie(vertex_buffer, face_buffer) = flatten(mesh);
  }  // octree and mesh are released before the arrays are made

  Ref vertices = py::rows_of_three(std::move(vertex_buffer));
  Ref faces = py::rows_of_three(std::move(face_buffer));
  return checked(PyTuple_Pack(2, vertices.get(), faces.get()));
}

}  // namespace karvex::py
