// NumPy arrays to and from the core's meshes, for the validity entry points.
#include "native/mesh_arrays.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/py/errors.h"
#include "common/py/numpy_api.h"

namespace karvex::py {

namespace {

[[noreturn]] void value_error(const std::string& message) { throw PythonError::make(PyExc_ValueError, message); }

template <typename T>
Ref rows_of(const std::vector<T>& values, int type) {
  npy_intp dims[2] = {static_cast<npy_intp>(values.size() / 3), 3};
  Ref array = Ref::steal(PyArray_SimpleNew(2, dims, type));
  if (!array) throw_fetched();
  std::copy(values.begin(), values.end(), static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
  return array;
}

}  // namespace

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

validity::MeshView checked_view(const Ref& vertices, const Ref& faces) {
  auto* v = reinterpret_cast<PyArrayObject*>(vertices.get());
  auto* f = reinterpret_cast<PyArrayObject*>(faces.get());
  validity::MeshView mesh;
  mesh.vertices = static_cast<const double*>(PyArray_DATA(v));
  mesh.vertex_count = static_cast<std::size_t>(PyArray_DIM(v, 0));
  mesh.faces = static_cast<const std::int64_t*>(PyArray_DATA(f));
  mesh.face_count = static_cast<std::size_t>(PyArray_DIM(f, 0));
  // Each check a reduction without branches first (the compiler vectorizes
  // it; every call of the validity pass starts with these scans, on one
  // thread), then, only when it fails, the first offending value found.
  constexpr double kLargest = std::numeric_limits<double>::max();
  bool finite = true;
  for (std::size_t k = 0; k < 3 * mesh.vertex_count; ++k) finite &= std::fabs(mesh.vertices[k]) <= kLargest;
  if (!finite) value_error("vertices must be finite; found NaN or infinity");
  const auto count = static_cast<std::int64_t>(mesh.vertex_count);
  bool in_range = true;
  for (std::size_t k = 0; k < 3 * mesh.face_count; ++k) {
    in_range &= static_cast<std::uint64_t>(mesh.faces[k]) < static_cast<std::uint64_t>(count);
  }
  for (std::size_t k = 0; !in_range && k < 3 * mesh.face_count; ++k) {
    if (mesh.faces[k] < 0 || mesh.faces[k] >= count) {
      value_error("faces must hold vertex numbers from 0 to " + std::to_string(count - 1) + "; found " +
                  std::to_string(mesh.faces[k]));
    }
  }
  return mesh;
}

Ref rows_of_three(const std::vector<double>& values) { return rows_of(values, NPY_FLOAT64); }
Ref rows_of_three(const std::vector<std::int64_t>& values) { return rows_of(values, NPY_INT64); }

}  // namespace karvex::py
