// karvex._native.self_intersections and is_one_sheet: the core's exact
// self-intersection test and its one-sheet test over NumPy arrays, for
// Mesh.check(), Mesh.self_intersections() and the repair after extraction.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "native/functions.h"
#include "pool/worker_pool.h"
#include "validity/self_intersections.h"
#include "validity/sheets.h"

namespace karvex::py {

namespace {

[[noreturn]] void value_error(const std::string& message) { throw PythonError::make(PyExc_ValueError, message); }

// `value` as a C-contiguous array of `type` with `columns` columns (0: one
// dimension), converted if it is not one already.
Ref as_array(PyObject* value, int type, int columns, const char* name) {
  Ref array = Ref::steal(PyArray_FROMANY(value, type, 0, 0, NPY_ARRAY_IN_ARRAY));
  if (!array) throw_fetched();
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const bool shaped = columns == 0 ? PyArray_NDIM(a) == 1 : PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) == columns;
  if (!shaped) {
    value_error(std::string(name) + (columns == 0 ? " must be one-dimensional" : " must have shape (n, 3)"));
  }
  return array;
}

// The mesh of two arrays from as_array, with finite vertices and faces in range.
validity::MeshView checked_view(const Ref& vertices, const Ref& faces) {
  auto* v = reinterpret_cast<PyArrayObject*>(vertices.get());
  auto* f = reinterpret_cast<PyArrayObject*>(faces.get());
  validity::MeshView mesh;
  mesh.vertices = static_cast<const double*>(PyArray_DATA(v));
  mesh.vertex_count = static_cast<std::size_t>(PyArray_DIM(v, 0));
  mesh.faces = static_cast<const std::int64_t*>(PyArray_DATA(f));
  mesh.face_count = static_cast<std::size_t>(PyArray_DIM(f, 0));
  for (std::size_t k = 0; k < 3 * mesh.vertex_count; ++k) {
    if (!std::isfinite(mesh.vertices[k])) value_error("vertices must be finite; found NaN or infinity");
  }
  const auto count = static_cast<std::int64_t>(mesh.vertex_count);
  for (std::size_t k = 0; k < 3 * mesh.face_count; ++k) {
    if (mesh.faces[k] < 0 || mesh.faces[k] >= count) {
      value_error("faces must hold vertex numbers from 0 to " + std::to_string(count - 1) + "; found " +
                  std::to_string(mesh.faces[k]));
    }
  }
  return mesh;
}

}  // namespace

PyObject* karvex_native_self_intersections(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 3) {
      throw PythonError::make(PyExc_TypeError, "self_intersections(vertices, faces, subset) takes 3 arguments");
    }
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    Ref subset_array;
    const std::uint8_t* subset = nullptr;
    if (args[2] != Py_None) {
      subset_array = as_array(args[2], NPY_BOOL, 0, "subset");
      auto* s = reinterpret_cast<PyArrayObject*>(subset_array.get());
      if (static_cast<std::size_t>(PyArray_DIM(s, 0)) != mesh.face_count) {
        value_error("subset must hold one flag per face");
      }
      subset = static_cast<const std::uint8_t*>(PyArray_DATA(s));
    }
    validity::SelfIntersections found = validity::find_self_intersections(mesh, subset, global_pool());
    std::vector<std::int64_t> flat;
    flat.reserve(2 * found.pairs.size());
    for (const auto& pair : found.pairs) flat.insert(flat.end(), pair.begin(), pair.end());
    npy_intp pair_dims[2] = {static_cast<npy_intp>(found.pairs.size()), 2};
    Ref pairs = Ref::steal(PyArray_SimpleNew(2, pair_dims, NPY_INT64));
    if (!pairs) throw_fetched();
    std::copy(flat.begin(), flat.end(), static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(pairs.get()))));
    npy_intp face_dims[1] = {static_cast<npy_intp>(mesh.face_count)};
    Ref zero_area = Ref::steal(PyArray_SimpleNew(1, face_dims, NPY_BOOL));
    if (!zero_area) throw_fetched();
    std::copy(found.zero_area.begin(), found.zero_area.end(),
              static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(zero_area.get()))));
    return checked(PyTuple_Pack(2, pairs.get(), zero_area.get()));
  });
}

PyObject* karvex_native_is_one_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    ensure_numpy_api();
    if (nargs != 2) throw PythonError::make(PyExc_TypeError, "is_one_sheet(vertices, faces) takes 2 arguments");
    Ref vertices = as_array(args[0], NPY_FLOAT64, 3, "vertices");
    Ref faces = as_array(args[1], NPY_INT64, 3, "faces");
    const validity::MeshView mesh = checked_view(vertices, faces);
    return checked(PyBool_FromLong(validity::is_one_sheet(mesh) ? 1 : 0));
  });
}

}  // namespace karvex::py
