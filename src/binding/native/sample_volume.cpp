// karvex._native.sample_volume: the native volume field at given points,
// without a meshing run, so that its numbers can be set beside the NumPy
// form's (karvex.GridField.evaluate).
#include <cstring>
#include <vector>

#include "common/py/errors.h"
#include "common/py/numpy_api.h"
#include "common/py/ref.h"
#include "common/py/slice_container.h"
#include "native/functions.h"
#include "native/volume_argument.h"
#include "pool/worker_pool.h"

namespace karvex::py {

PyObject* karvex_native_sample_volume(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> Ref {
    if (nargs != 2 || kwnames != nullptr) {
      throw_error(PyExc_TypeError, "sample_volume(volume, points) takes two positional arguments");
    }
    const VolumeArgument volume = read_volume_argument("volume", args[0]);
    ensure_numpy_api();
    const Ref array = checked(PyArray_FROMANY(args[1], NPY_FLOAT64, 2, 2, NPY_ARRAY_IN_ARRAY));
    auto* points_array = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_DIM(points_array, 1) != 3) throw_error(PyExc_ValueError, "points must be (N, 3)");
    const auto count = static_cast<std::size_t>(PyArray_DIM(points_array, 0));
    std::vector<Vec3> points(count);
    if (count != 0) std::memcpy(points.data(), PyArray_DATA(points_array), count * sizeof(Vec3));
    std::vector<double> values;
    std::vector<double> gradients;
    if (count != 0) {
      VolumeField field(volume.samples, volume.placement, global_pool(), std::nullopt,
                        volume.window);
      const EvalResult result = field.evaluate(points);
      values = result.values;
      gradients.reserve(3 * count);
      for (const Vec3& g : *result.gradients) gradients.insert(gradients.end(), {g.x, g.y, g.z});
    }
    const Ref gradient_rows = rows_of_three(std::move(gradients));
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    const Ref value_array = checked(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
    if (count != 0) {
      std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(value_array.get())),
                  values.data(), count * sizeof(double));
    }
    return checked(PyTuple_Pack(2, value_array.get(), gradient_rows.get()));
  });
}

}  // namespace karvex::py
