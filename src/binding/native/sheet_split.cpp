// karvex._native.split_sheets and part_shared_edges: the core's sheet split
// and parting of shared edges over NumPy arrays, for the repair after
// extraction.
#include <Python.h>

#include <string_view>

#include "common/args.h"
#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "native/functions.h"
#include "native/mesh_arrays.h"
#include "pool/worker_pool.h"
#include "validity/sheet_split.h"

namespace karvex::py {

namespace {

constexpr std::string_view kMeshNames[] = {"vertices", "faces"};
constexpr Signature kSplitSignature{"split_sheets", kMeshNames, 2, 2, 2};
constexpr Signature kPartSignature{"part_shared_edges", kMeshNames, 2, 2, 2};

// (vertices, faces, added) of one step over the call's two arrays.
template <typename Step>
PyObject* run_step(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Step step) {
  return guarded([&] {
    ensure_numpy_api();
    const Arguments a(signature, args, nargs, kwnames);
    Ref vertices = as_array(a.object(0).get(), NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(a.object(1).get(), NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    const validity::SplitMesh result = step(mesh, global_pool());
    Ref out_vertices = rows_of_three(result.vertices);
    Ref out_faces = rows_of_three(result.faces);
    return checked(Py_BuildValue("(OOn)", out_vertices.get(), out_faces.get(), static_cast<Py_ssize_t>(result.added)));
  });
}

}  // namespace

PyObject* karvex_native_split_sheets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_step(kSplitSignature, args, nargs, kwnames, validity::split_sheets);
}

PyObject* karvex_native_part_shared_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_step(kPartSignature, args, nargs, kwnames, validity::part_shared_edges);
}

}  // namespace karvex::py
