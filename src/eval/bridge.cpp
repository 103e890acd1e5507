#include "eval/bridge.h"

#include <cstring>
#include <string>

#include "messages.h"
#include "panic.h"
#include "py/errors.h"
#include "py/numpy_api.h"
#include "py/ref.h"
#include "py/text.h"

namespace karvex {

using py::PythonError;
using py::Ref;
using py::checked;

namespace {

// The pending error of a failed call into eval_fn or its result. A
// PanicException stays a panic: it must never turn into an ordinary error.
[[noreturn]] void throw_field_error() {
  PythonError error = PythonError::fetch();
  if (error.is_panic()) py::resume_panic(error);
  throw error;
}

Ref new_points_array(std::span<const Vec3> points) {
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
  if (descr == nullptr) py::throw_fetched();
  npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
  // No strides and no data: NumPy allocates a C-contiguous block it owns.
  Ref array = checked(
      PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr));
  auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (const Vec3& p : points) {
    *data++ = p.x;
    *data++ = p.y;
    *data++ = p.z;
  }
  return array;
}

Ref item(PyObject* result, long key) {
  Ref index = checked(PyLong_FromLong(key));
  Ref value = Ref::steal(PyObject_GetItem(result, index.get()));
  if (!value) throw_field_error();
  return value;
}

// `obj` as a float64 array of `ndim` dimensions, or the conversion TypeError.
// No conversion is made: the dtype must be float64 (or an equivalent
// descriptor) already.
PyArrayObject* float64_array(PyObject* obj, int ndim) {
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) == ndim) {
      Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
      if (!float64) py::throw_fetched();
      auto* expected = reinterpret_cast<PyArray_Descr*>(float64.get());
      PyArray_Descr* actual = PyArray_DESCR(array);
      if (actual == expected || PyArray_EquivTypes(actual, expected)) return array;
    }
  }
  py::throw_error(PyExc_TypeError, py::fill(messages::kCannotConvert,
                                            {py::type_name(obj), messages::kArrayTarget}));
}

std::vector<double> copy_values(PyObject* obj) {
  PyArrayObject* array = float64_array(obj, 1);
  if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) {
    py::throw_error(PyExc_TypeError, messages::kNotContiguous);
  }
  const auto count = static_cast<std::size_t>(PyArray_DIM(array, 0));
  std::vector<double> values(count);
  // memcpy: the block may be unaligned (arrays made over byte buffers).
  if (count > 0) std::memcpy(values.data(), PyArray_DATA(array), count * sizeof(double));
  return values;
}

std::vector<Vec3> copy_gradients(PyObject* obj) {
  PyArrayObject* array = float64_array(obj, 2);
  const npy_intp rows = PyArray_DIM(array, 0);
  std::vector<Vec3> gradients;
  if (rows == 0) return gradients;
  if (PyArray_DIM(array, 1) < 3) fail(std::string(messages::kGradientColumns));
  // Any strides, negative ones included: address every element by its
  // byte offset.
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp column_stride = PyArray_STRIDE(array, 1);
  gradients.resize(static_cast<std::size_t>(rows));
  for (npy_intp r = 0; r < rows; ++r) {
    const char* row = base + r * row_stride;
    Vec3& g = gradients[static_cast<std::size_t>(r)];
    std::memcpy(&g.x, row, sizeof(double));
    std::memcpy(&g.y, row + column_stride, sizeof(double));
    std::memcpy(&g.z, row + 2 * column_stride, sizeof(double));
  }
  return gradients;
}

}  // namespace

EvalResult PythonField::evaluate(std::span<const Vec3> points) {
  EvalResult result;
  if (points.empty()) return result;
  py::ensure_numpy_api();

  Ref args = checked(PyTuple_New(1));
  // The tuple takes over the array.
  PyTuple_SET_ITEM(args.get(), 0, new_points_array(points).release());
  Ref returned = Ref::steal(PyObject_Call(eval_fn_, args.get(), nullptr));
  if (!returned) throw_field_error();
  args.reset();

  // Both items are fetched before either is looked at.
  Ref values = item(returned.get(), 0);
  Ref gradients = item(returned.get(), 1);
  result.values = copy_values(values.get());
  if (gradients.get() != Py_None) result.gradients = copy_gradients(gradients.get());
  return result;
}

}  // namespace karvex
