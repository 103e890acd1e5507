// The meshing run behind both modules' extract_mesh: build, contour, hand the
// mesh's own buffers to NumPy.
#include "common/meshing.h"

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

Ref mesh_arrays_impl(PyObject* eval_fn, const BBox& box, const MeshingOptions& options) {
  PythonField field(eval_fn);
  return mesh_arrays_of(field, box, options);
}

Ref mesh_arrays_of(Field& field, const BBox& box, const MeshingOptions& options) {
  // Named for the report of an allocation failure once building and
  // contouring (which name their own work) have returned.
  const TaskScope task("handing the mesh to NumPy", -1);

  Mesh mesh;
  {
    // One monitor over construction and extraction: both report their
    // stages to it and poll it between chunks of work.
    const RunMonitor monitor(options.run.hooks);
    BuildResult built = build_octree(field, box, options);
    MeshingOptions contouring = options;
    contouring.run.hooks = nullptr;  // the monitor above covers contouring too
    // The octree is handed over: contouring frees it once it is done with it.
    mesh = extract_surface(std::move(built.octree), field, contouring);
  }

  // The mesh's own vectors become the arrays' buffers: no copy.
  Ref vertices = py::rows_of_three(std::move(mesh.vertices));
  Ref faces = py::rows_of_three(std::move(mesh.faces));
  if (!options.tile) return checked(PyTuple_Pack(2, vertices.get(), faces.get()));
  // A tile run also hands back each vertex's key, by which tiles are stitched.
  Ref keys = py::key_rows(std::move(mesh.vertex_keys));
  return checked(PyTuple_Pack(3, vertices.get(), faces.get(), keys.get()));
}

}  // namespace karvex::py
