// test_batch_eval and test_fd_gradients: the evaluation bridge and the
// finite-difference estimator, exposed to Python for diagnosis.
#include <span>
#include <string_view>
#include <vector>

#include "common/args.h"
#include "common/eval/bridge.h"
#include "common/py/errors.h"
#include "field/fd_gradients.h"
#include "karvex_rs/functions.h"

namespace karvex::py {

namespace {

constexpr std::string_view kBatchEvalParams[] = {"eval_fn", "points"};
constexpr Signature kBatchEvalSignature{"test_batch_eval", kBatchEvalParams, 2};

constexpr std::string_view kFdGradientsParams[] = {"eval_fn", "points", "step"};
constexpr Signature kFdGradientsSignature{"test_fd_gradients", kFdGradientsParams, 2};

constexpr double kDefaultStep = 1e-5;

Ref float_list(std::span<const double> values) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    // PyList_SET_ITEM takes over the new float.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    checked(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

// (values as a list of floats, whether gradients came back, number of values).
Ref test_batch_eval_impl(PyObject* eval_fn, std::span<const Vec3> points) {
  PythonField field(eval_fn);
  const EvalResult result = evaluate_batch(field, points);
  Ref values = float_list(result.values);
  Ref has_gradients = Ref::borrow(result.gradients ? Py_True : Py_False);
  Ref count = checked(PyLong_FromSize_t(result.values.size()));
  return checked(PyTuple_Pack(3, values.get(), has_gradients.get(), count.get()));
}

// One [gx, gy, gz] list per point.
Ref test_fd_gradients_impl(PyObject* eval_fn, std::span<const Vec3> points, double step) {
  PythonField field(eval_fn);
  const std::vector<Vec3> gradients = estimate_gradients(field, points, step);
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(gradients.size())));
  for (std::size_t i = 0; i < gradients.size(); ++i) {
    const Vec3& g = gradients[i];
    const double components[3] = {g.x, g.y, g.z};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), float_list(components).release());
  }
  return list;
}

}  // namespace

PyObject* karvex_test_batch_eval(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kBatchEvalSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const std::vector<Vec3> points = a.points(1);
    return test_batch_eval_impl(eval_fn.get(), points);
  });
}

PyObject* karvex_test_fd_gradients(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kFdGradientsSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const std::vector<Vec3> points = a.points(1);
    const double step = a.real(2, kDefaultStep);
    return test_fd_gradients_impl(eval_fn.get(), points, step);
  });
}

}  // namespace karvex::py
