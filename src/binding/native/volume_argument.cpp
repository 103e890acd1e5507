#include "native/volume_argument.h"

#include <cmath>
#include <cstring>
#include <span>
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

// Three ints from a sequence, each at least `least`.
std::array<std::size_t, 3> three_counts(const char* name, const char* part, PyObject* value,
                                        long long least) {
  const Ref items = checked(PySequence_Fast(value, "must be a sequence of three ints"));
  if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
    fault(PyExc_ValueError, name, std::string(part) + " must be three ints");
  }
  std::array<std::size_t, 3> result{};
  for (int axis = 0; axis < 3; ++axis) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), axis);
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
      fault(PyExc_TypeError, name, std::string(part) + " must be three ints");
    }
    const long long count = PyLong_AsLongLong(item);
    if (count == -1 && PyErr_Occurred()) throw_fetched();
    if (count < least) {
      fault(PyExc_ValueError, name,
            std::string(part) + " must be three ints of at least " + std::to_string(least));
    }
    result[static_cast<std::size_t>(axis)] = static_cast<std::size_t>(count);
  }
  return result;
}

// The samples beyond a window, read by a Python callable on the calling
// thread (which holds the interpreter lock for the whole run).
class PythonFarSamples final : public FarSamples {
 public:
  explicit PythonFarSamples(PyObject* read) : read_(Ref::borrow(read)) {}

  void read_corners(std::span<const std::array<std::int64_t, 3>> cells,
                    std::span<double> corners) override {
    npy_intp dims[2] = {static_cast<npy_intp>(cells.size()), 3};
    const Ref asked = checked(PyArray_SimpleNew(2, dims, NPY_INT64));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(asked.get())), cells.data(),
                cells.size_bytes());
    const Ref answer = checked(PyObject_CallOneArg(read_.get(), asked.get()));
    const Ref values = checked(PyArray_FROMANY(answer.get(), NPY_FLOAT64, 2, 2, NPY_ARRAY_IN_ARRAY));
    auto* array = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_DIM(array, 0) != dims[0] || PyArray_DIM(array, 1) != 8) {
      fault(PyExc_ValueError, "volume", "window's read_corners must return (N, 8) samples for N cells");
    }
    std::memcpy(corners.data(), PyArray_DATA(array), corners.size_bytes());
  }

 private:
  Ref read_;
};

// Reads window=(offset, shape, read_corners) for an array of `held` samples.
void read_window(const char* name, PyObject* value, VolumeArgument& result) {
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 3) {
    fault(PyExc_TypeError, name, "window must be a tuple (offset, shape, read_corners)");
  }
  VolumeWindow window;
  window.offset = three_counts(name, "window offset", PyTuple_GET_ITEM(value, 0), 0);
  window.shape = three_counts(name, "window shape", PyTuple_GET_ITEM(value, 1), 2);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (window.offset[axis] + result.samples.shape[axis] > window.shape[axis]) {
      fault(PyExc_ValueError, name, "array must lie within the window's volume (offset + shape)");
    }
  }
  PyObject* read = PyTuple_GET_ITEM(value, 2);
  if (!PyCallable_Check(read)) fault(PyExc_TypeError, name, "window's read_corners must be callable");
  result.far = std::make_shared<PythonFarSamples>(read);
  window.far = result.far.get();
  result.window = window;
}

}  // namespace

VolumeArgument read_volume_argument(const char* name, PyObject* value) {
  ensure_numpy_api();
  if (!PyTuple_Check(value) || (PyTuple_GET_SIZE(value) != 4 && PyTuple_GET_SIZE(value) != 5)) {
    fault(PyExc_TypeError, name, "must be a tuple (array, spacing, origin, inside_above[, window])");
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
  if (PyTuple_GET_SIZE(value) == 5) read_window(name, PyTuple_GET_ITEM(value, 4), result);
  return result;
}

}  // namespace karvex::py
