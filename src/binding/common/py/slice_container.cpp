#include "common/py/slice_container.h"

#include <memory>
#include <string>
#include <type_traits>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/text.h"
#include "support/panic.h"

namespace karvex::py {

namespace {

// The holder: the buffer's address, length and capacity (in elements), and
// the function that releases it together with the object that owns it.
struct SliceContainer {
  PyObject_HEAD void* ptr;
  Py_ssize_t len;
  Py_ssize_t cap;
  void (*drop)(void* owner);
  void* owner;
};

void slice_container_dealloc(PyObject* self) {
  auto* holder = reinterpret_cast<SliceContainer*>(self);
  if (holder->drop != nullptr) holder->drop(holder->owner);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>(messages::kSliceContainerDoc)},
    {0, nullptr},
};

PyType_Spec g_type_description = {
    messages::kSliceContainerName,
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

// Created on first use, kept for the life of the process.
PyObject* g_type = nullptr;

[[noreturn]] void fail_container() {
  const PythonError cause = PythonError::fetch();
  std::string detail;
  try {
    detail = str_of(cause.exception());
  } catch (const PythonError&) {
    detail = type_name(cause.exception());
  }
  fail(std::string(messages::kSliceContainer) + ": " + detail);
}

template <class T>
void drop_vector(void* owner) {
  delete static_cast<std::vector<T>*>(owner);
}

// Stands in for the data pointer of an empty array: NumPy would allocate
// memory of its own for a null one. Nothing is ever read or written there.
alignas(16) std::int64_t g_no_elements[2] = {0, 0};

// `values` holds `rows` rows of `columns` numbers of `item` bytes each,
// packed (a T is one number, or one whole row).
template <class T>
Ref hand_over(std::vector<T>&& values, int typenum, npy_intp rows, npy_intp item,
              npy_intp columns = 3) {
  ensure_numpy_api();
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&g_type_description);
    if (g_type == nullptr) fail_container();
  }
  auto owner = std::make_unique<std::vector<T>>(std::move(values));
  void* data = owner->empty() ? static_cast<void*>(g_no_elements) : owner->data();

  auto* holder = reinterpret_cast<SliceContainer*>(
      PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_type), 0));
  if (holder == nullptr) fail_container();
  holder->ptr = data;
  holder->len = static_cast<Py_ssize_t>(owner->size());
  holder->cap = static_cast<Py_ssize_t>(owner->capacity());
  holder->drop = &drop_vector<T>;
  holder->owner = owner.release();
  Ref holder_ref = Ref::steal(reinterpret_cast<PyObject*>(holder));

  PyArray_Descr* descr = PyArray_DescrFromType(typenum);
  if (descr == nullptr) throw_fetched();
  npy_intp dims[2] = {rows, columns};
  npy_intp strides[2] = {rows == 0 ? 0 : columns * item, rows == 0 ? 0 : item};
  // Steals descr, also on failure.
  Ref array = checked(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, data,
                                           NPY_ARRAY_WRITEABLE, nullptr));
  // Steals the holder, also on failure (it then frees the buffer).
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder_ref.release()) <
      0) {
    throw_fetched();
  }
  return array;
}

}  // namespace

Ref rows_of_three(std::vector<double>&& values) {
  const auto rows = static_cast<npy_intp>(values.size() / 3);
  return hand_over(std::move(values), NPY_FLOAT64, rows, sizeof(double));
}

Ref rows_of_three(std::vector<std::int64_t>&& values) {
  const auto rows = static_cast<npy_intp>(values.size() / 3);
  return hand_over(std::move(values), NPY_INT64, rows, sizeof(std::int64_t));
}

// A Vec3 is three doubles and a Triangle three 64-bit integers, packed: the
// vectors are already the rows NumPy reads.
static_assert(sizeof(Vec3) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3>);
static_assert(sizeof(Triangle) == 3 * sizeof(std::uint64_t));

Ref rows_of_three(std::vector<Vec3>&& points) {
  const auto rows = static_cast<npy_intp>(points.size());
  return hand_over(std::move(points), NPY_FLOAT64, rows, sizeof(double));
}

Ref rows_of_three(std::vector<Triangle>&& triangles) {
  // Vertex numbers are below the number of vertices, far below 2^63: the
  // same bits read as int64.
  const auto rows = static_cast<npy_intp>(triangles.size());
  return hand_over(std::move(triangles), NPY_INT64, rows, sizeof(std::int64_t));
}

static_assert(sizeof(VertexKey) == 2 * sizeof(std::uint64_t));

Ref key_rows(std::vector<VertexKey>&& keys) {
  const auto rows = static_cast<npy_intp>(keys.size());
  return hand_over(std::move(keys), NPY_UINT64, rows, sizeof(std::uint64_t), 2);
}

}  // namespace karvex::py
