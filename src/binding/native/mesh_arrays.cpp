// NumPy arrays to and from the core's meshes, for the validity entry points.
#include "native/mesh_arrays.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "pool/worker_pool.h"

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

// Array lengths from which the scans below run on the pool: each range
// ORs its values' bits on its own, and the ranges' results are ORed.
constexpr std::size_t kPooledScan = std::size_t{1} << 16;

// The OR of bits(k) over [0, n).
template <typename Bits>
std::uint64_t any_bits(std::size_t n, Bits&& bits) {
  std::atomic<std::uint64_t> all{0};
  global_pool().run(n, kPooledScan, [&](LoopRange& range) {
    std::uint64_t part = 0;
    for (std::size_t k = range.begin(); k < range.end(); ++k) part |= bits(k);
    all.fetch_or(part, std::memory_order_relaxed);
  });
  return all.load();
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
  // Each check a reduction without branches first (on the pool for a large
  // mesh: every call of the validity pass starts with these scans), then,
  // only when it fails, the first offending value found. Both reductions are
  // bit operations on 64-bit lanes that SSE2 has: a double is not finite iff
  // its exponent bits are all ones, which carries into the top bit when one
  // is added to the exponent field; an index x is out of range iff
  // x < 0 (top bit set) or count - 1 - x wraps below zero (top bit set).
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u, kExponentOne = 0x0010000000000000u;
  const std::uint64_t not_finite = any_bits(3 * mesh.vertex_count, [&](std::size_t k) {
    return (std::bit_cast<std::uint64_t>(mesh.vertices[k]) & kExponent) + kExponentOne;
  });
  if ((not_finite >> 63) != 0) value_error("vertices must be finite; found NaN or infinity");
  const auto count = static_cast<std::int64_t>(mesh.vertex_count);
  const std::uint64_t last = static_cast<std::uint64_t>(count) - 1;  // wraps for no vertex: every index fails
  const std::uint64_t outside = any_bits(3 * mesh.face_count, [&](std::size_t k) {
    const auto x = static_cast<std::uint64_t>(mesh.faces[k]);
    return x | (last - x);
  });
  const bool in_range = (outside >> 63) == 0;
  for (std::size_t k = 0; !in_range && k < 3 * mesh.face_count; ++k) {
    if (mesh.faces[k] < 0 || mesh.faces[k] >= count) {
      value_error("faces must hold vertex numbers from 0 to " + std::to_string(count - 1) + "; found " +
                  std::to_string(mesh.faces[k]));
    }
  }
  return mesh;
}

std::vector<std::int64_t> increasing_numbers(PyObject* value, std::size_t count, const char* name, const char* what) {
  Ref array = as_array(value, NPY_INT64, 0, name);
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const auto* first = static_cast<const std::int64_t*>(PyArray_DATA(a));
  std::vector<std::int64_t> numbers(first, first + PyArray_DIM(a, 0));
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    const bool in_range = numbers[k] >= 0 && static_cast<std::size_t>(numbers[k]) < count;
    if (!in_range || (k > 0 && numbers[k] <= numbers[k - 1])) {
      value_error(std::string(name) + " must hold " + what + " numbers in increasing order, each below " +
                  std::to_string(count));
    }
  }
  return numbers;
}

Ref rows_of_three(const std::vector<double>& values) { return rows_of(values, NPY_FLOAT64); }
Ref rows_of_three(const std::vector<std::int64_t>& values) { return rows_of(values, NPY_INT64); }

}  // namespace karvex::py
