#include "native/volume_argument.h"

#include <cmath>
#include <string>

#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "common/py/text.h"

namespace karvex::py {

namespace {

[[noreturn]] void fault(PyObject* type, const char* name, const std::string& what) {
  throw_error(type, std::string(name) + " " + what);
}

SampleType sample_type(const char* name, PyArrayObject* array) {
  if (!PyArray_ISNOTSWAPPED(array) || !PyArray_ISALIGNED(array)) {
    fault(PyExc_ValueError, name,
          "must be an aligned array in the machine's byte order (grid_field converts others)");
  }
  switch (PyArray_TYPE(array)) {
    case NPY_UINT8: return SampleType::kUint8;
    case NPY_UINT16: return SampleType::kUint16;
    case NPY_INT16: return SampleType::kInt16;
    case NPY_FLOAT32: return SampleType::kFloat32;
    case NPY_FLOAT64: return SampleType::kFloat64;
    default:
      fault(PyExc_TypeError, name,
            "must hold uint8, uint16, int16, float32 or float64 samples (grid_field converts "
            "others)");
  }
}

// Three numbers from a sequence, each finite (and positive when asked).
Vec3 three_numbers(const char* name, const char* part, PyObject* value, bool positive) {
  const Ref items = checked(PySequence_Fast(value, "must be a sequence of three numbers"));
  if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
    fault(PyExc_ValueError, name, std::string(part) + " must be three numbers");
  }
  Vec3 result;
  for (int axis = 0; axis < 3; ++axis) {
    const double number = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), axis));
    if (number == -1.0 && PyErr_Occurred()) throw_fetched();
    if (!std::isfinite(number) || (positive && !(number > 0.0))) {
      fault(PyExc_ValueError, name,
            std::string(part) + (positive ? " must be positive finite numbers"
                                          : " must be finite numbers"));
    }
    result[axis] = number;
  }
  return result;
}

}  // namespace

VolumeArgument read_volume_argument(const char* name, PyObject* value) {
  ensure_numpy_api();
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 4) {
    fault(PyExc_TypeError, name, "must be a tuple (array, spacing, origin, inside_above)");
  }
  PyObject* object = PyTuple_GET_ITEM(value, 0);
  if (!PyArray_Check(object)) fault(PyExc_TypeError, name, "must start with a NumPy array");
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 3) fault(PyExc_ValueError, name, "must be a 3-D array");
  VolumeArgument result;
  result.samples.type = sample_type(name, array);
  result.samples.data = static_cast<const char*>(PyArray_DATA(array));
  for (int axis = 0; axis < 3; ++axis) {
    const npy_intp size = PyArray_DIM(array, axis);
    if (size < 2) fault(PyExc_ValueError, name, "must have at least 2 samples along each axis");
    result.samples.shape[axis] = static_cast<std::size_t>(size);
    result.samples.strides[axis] = PyArray_STRIDE(array, axis);
  }
  result.placement.spacing = three_numbers(name, "spacing", PyTuple_GET_ITEM(value, 1), true);
  result.placement.origin = three_numbers(name, "origin", PyTuple_GET_ITEM(value, 2), false);
  PyObject* above = PyTuple_GET_ITEM(value, 3);
  if (!PyBool_Check(above)) fault(PyExc_TypeError, name, "inside_above must be True or False");
  result.placement.negate = above == Py_True;
  return result;
}

}  // namespace karvex::py
