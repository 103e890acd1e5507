// karvex._native.sheet_copies and part_shared_edges: the core's sheet split
// (as the copies it makes, not a new mesh) and parting of shared edges over
// NumPy arrays, for the repair after extraction.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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
constexpr std::string_view kCopiesNames[] = {"vertices", "faces", "broken"};
constexpr Signature kCopiesSignature{"sheet_copies", kCopiesNames, 2, 2, 2};
constexpr Signature kPartSignature{"part_shared_edges", kMeshNames, 2, 2, 2};

// A new one-dimensional int64 array holding `values`.
Ref int64_array(const std::vector<std::int64_t>& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  Ref out = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
  if (!out) throw_fetched();
  auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  std::copy(values.begin(), values.end(), data);
  return out;
}

}  // namespace

PyObject* karvex_native_sheet_copies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    ensure_numpy_api();
    const Arguments a(kCopiesSignature, args, nargs, kwnames);
    Ref vertices = as_array(a.object(0).get(), NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(a.object(1).get(), NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    std::optional<std::vector<std::int64_t>> broken;
    if (a.given(2) && a.object(2).get() != Py_None) broken = increasing_numbers(a.object(2).get(), mesh.vertex_count, "broken", "vertex");
    const validity::SheetCopies copies = broken ? validity::sheet_copies_round(mesh, *broken)
                                                : validity::sheet_copies(mesh, global_pool());
    Ref originals = int64_array(copies.originals);
    Ref corners = int64_array(copies.corners);
    Ref taken = int64_array(copies.taken);
    Ref crowded = int64_array(copies.crowded);
    return checked(PyTuple_Pack(4, originals.get(), corners.get(), taken.get(), crowded.get()));
  });
}

PyObject* karvex_native_part_shared_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    ensure_numpy_api();
    const Arguments a(kPartSignature, args, nargs, kwnames);
    Ref vertices = as_array(a.object(0).get(), NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(a.object(1).get(), NPY_INT64, 3, "faces");
    const std::optional<validity::SplitMesh> parted =
        validity::parted_shared_edges(checked_view(vertices, faces), global_pool());
    if (!parted) {
      // Nothing crowded: the arrays as given (after conversion), not copies.
      return checked(Py_BuildValue("(OOn)", vertices.get(), faces.get(), Py_ssize_t{0}));
    }
    Ref out_vertices = rows_of_three(parted->vertices);
    Ref out_faces = rows_of_three(parted->faces);
    return checked(Py_BuildValue("(OOn)", out_vertices.get(), out_faces.get(), static_cast<Py_ssize_t>(parted->added)));
  });
}

}  // namespace karvex::py
