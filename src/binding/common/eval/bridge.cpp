#include "common/eval/bridge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "common/py/text.h"
#include "support/panic.h"

namespace karvex::py {

namespace {

// The pending error of a failed call into eval_fn or its result. A
// PanicException stays a panic: it must never turn into an ordinary error.
[[noreturn]] void throw_field_error() {
  PythonError error = PythonError::fetch();
  if (error.is_panic()) py::resume_panic(error);
  throw error;
}

// A new (count, 3) float64 array whose rows `write` fills, as Vec3 in
// order: a C-contiguous float64 array with three columns is laid out as
// an array of Vec3 (three doubles, no padding).
Ref new_points_array(std::size_t count, const PointWriter& write) {
  static_assert(sizeof(Vec3) == 3 * sizeof(double) && alignof(Vec3) == alignof(double));
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
  if (descr == nullptr) py::throw_fetched();
  npy_intp dims[2] = {static_cast<npy_intp>(count), 3};
  // No strides and no data: NumPy allocates a C-contiguous block it owns.
  Ref array =
      checked(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr));
  void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
  write(std::span<Vec3>(static_cast<Vec3*>(data), count));
  return array;
}

Ref new_points_array(std::span<const Vec3> points) {
  return new_points_array(points.size(), [&](std::span<Vec3> out) {
    std::copy(points.begin(), points.end(), out.begin());
  });
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
  py::throw_error(PyExc_TypeError,
                  py::fill(messages::kCannotConvert, {py::type_name(obj), messages::kArrayTarget}));
}

// The values R[0]: a contiguous 1-D float64 array (else the conversion
// TypeError, or "The given array is not contiguous").
PyArrayObject* values_array(PyObject* obj) {
  PyArrayObject* array = float64_array(obj, 1);
  if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) {
    py::throw_error(PyExc_TypeError, messages::kNotContiguous);
  }
  return array;
}

// The values in place, when the block is aligned for doubles; an array made
// over a byte buffer may not be, and is then copied bytewise into `copy`.
std::span<const double> values_of(PyArrayObject* array, std::vector<double>& copy) {
  const auto count = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const void* data = PyArray_DATA(array);
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0) {
    return {static_cast<const double*>(data), count};
  }
  copy.resize(count);
  if (count > 0) std::memcpy(copy.data(), data, count * sizeof(double));
  return copy;
}

// The gradient rows R[1]: a 2-D float64 array of any strides (else the
// conversion TypeError) with at least three columns when it has rows (else
// the invariant failure "ndarray: index out of bounds"). Further columns
// are ignored.
GradientRows gradient_rows(PyObject* obj) {
  PyArrayObject* array = float64_array(obj, 2);
  const npy_intp rows = PyArray_DIM(array, 0);
  if (rows == 0) return {};
  if (PyArray_DIM(array, 1) < 3) fail(std::string(messages::kGradientColumns));
  return {static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0),
          PyArray_STRIDE(array, 1), static_cast<std::size_t>(rows)};
}

// One call of eval_fn on `points`, holding the returned pair.
struct Returned {
  Ref result;
  Ref values;
  Ref gradients;
};

// One call of eval_fn on the array `make_points` returns.
template <class MakePoints>
Returned call(PyObject* eval_fn, MakePoints&& make_points) {
  py::ensure_numpy_api();
  Ref args = checked(PyTuple_New(1));
  // The tuple takes over the array.
  PyTuple_SET_ITEM(args.get(), 0, make_points().release());
  Returned r;
  r.result = Ref::steal(PyObject_Call(eval_fn, args.get(), nullptr));
  if (!r.result) throw_field_error();
  args.reset();
  // Both items are fetched before either is looked at.
  r.values = item(r.result.get(), 0);
  r.gradients = item(r.result.get(), 1);
  return r;
}

// Validates the returned pair (values first) and hands it to `consume`;
// the arrays stay referenced until `consume` is done with them.
void view_result(const Returned& r, const EvalConsumer& consume) {
  std::vector<double> unaligned;
  EvalView view;
  view.values = values_of(values_array(r.values.get()), unaligned);
  if (r.gradients.get() != Py_None) view.gradients = gradient_rows(r.gradients.get());
  consume(view);
}

}  // namespace

EvalResult PythonField::evaluate(std::span<const Vec3> points) {
  EvalResult result;
  if (points.empty()) return result;
  const Returned r = call(eval_fn_, [&] { return new_points_array(points); });
  std::vector<double> unaligned;
  const std::span<const double> values = values_of(values_array(r.values.get()), unaligned);
  result.values.assign(values.begin(), values.end());
  if (r.gradients.get() != Py_None) {
    const GradientRows rows = gradient_rows(r.gradients.get());
    std::vector<Vec3> gradients;
    gradients.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) gradients.push_back(rows[i]);
    result.gradients = std::move(gradients);
  }
  return result;
}

void PythonField::evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) {
  if (points.empty()) {
    consume(EvalView{});
    return;
  }
  view_result(call(eval_fn_, [&] { return new_points_array(points); }), consume);
}

void PythonField::evaluate_written(std::size_t count, const PointWriter& write,
                                   const EvalConsumer& consume) {
  if (count == 0) {
    consume(EvalView{});
    return;
  }
  view_result(call(eval_fn_, [&] { return new_points_array(count, write); }), consume);
}

}  // namespace karvex::py
