// karvex._native.extract_mesh: the meshing call of the karvex package. Beside
// what _karvex_rs.extract_mesh does it keeps every piece on request, reports
// progress per stage against known totals, runs on a pool of its own when
// given a worker count, and can be interrupted.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "args.h"
#include "meshing.h"
#include "native_functions.h"
#include "native_messages.h"
#include "pool/worker_pool.h"
#include "py/errors.h"
#include "py/text.h"
#include "run_hooks.h"
#include "support/bbox.h"
#include "validate.h"

namespace karvex::py {

namespace {

constexpr std::string_view kParams[] = {
    "eval_fn",   "bbox_min", "bbox_max", "min_depth", "max_depth", "angle_threshold_deg",
    "iso_value", "adaptive", "keep_all", "workers",   "progress",  "simplify",
    "find_small"};
constexpr Signature kSignature{"extract_mesh", kParams, 3};
static_assert(std::size(kParams) <= kMaxParameters);

// More threads than this is a mistake, not a machine: each one costs a stack.
constexpr long long kMaxWorkers = 1024;

// The worker count: an int (not a bool) in 0..kMaxWorkers; absent is 0.
std::size_t to_workers(const Arguments& a, std::size_t index) {
  if (!a.given(index)) return 0;
  const Ref value = a.object(index);
  if (PyBool_Check(value.get()) || !PyIndex_Check(value.get())) {
    throw_error(PyExc_TypeError, fill(native_messages::kWorkersType, {type_name(value.get())}));
  }
  const Ref number = checked(PyNumber_Index(value.get()));
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw_fetched();
  if (overflow != 0 || count < 0 || count > kMaxWorkers) {
    throw_error(PyExc_ValueError, fill(native_messages::kWorkersRange,
                                       {std::to_string(kMaxWorkers), str_of(number.get())}));
  }
  return static_cast<std::size_t>(count);
}

// The progress callable (borrowed from the call), or null for None/absent.
PyObject* to_progress(const Arguments& a, std::size_t index) {
  if (!a.given(index)) return nullptr;
  const Ref value = a.object(index);
  if (value.get() == Py_None) return nullptr;
  if (!PyCallable_Check(value.get())) {
    throw_error(PyExc_TypeError, fill(native_messages::kProgressType, {type_name(value.get())}));
  }
  return value.get();  // the call's argument vector keeps it alive
}

// Runs the request with `workers` threads of its own (0: the process-wide
// pool) and the hooks of `progress` (may be null).
Ref native_extract_mesh_impl(PyObject* eval_fn, const BBox& box, MeshingRequest request,
                             std::size_t workers, PyObject* progress) {
  PythonRunHooks hooks(progress);
  request.hooks = &hooks;
  // The pool of this call is joined when the call ends, however it ends.
  std::unique_ptr<WorkerPool> own_pool;
  if (workers > 0) {
    own_pool = std::make_unique<WorkerPool>(workers);
    request.pool = own_pool.get();
  }
  return mesh_arrays_impl(eval_fn, box, request);
}

}  // namespace

PyObject* karvex_native_extract_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kSignature, args, nargs, kwnames);
    const py::Ref eval_fn = a.object(0);
    const BBox box{a.vec3(1), a.vec3(2)};
    MeshingRequest request;
    request.min_depth = a.u32(3, request.min_depth);
    request.max_depth = a.u32(4, request.max_depth);
    request.angle_threshold_deg = a.real(5, request.angle_threshold_deg);
    request.iso_value = a.real(6, request.iso_value);
    request.adaptive = a.flag(7, request.adaptive);
    request.keep_all = a.flag(8, request.keep_all);
    const std::size_t workers = to_workers(a, 9);
    PyObject* progress = to_progress(a, 10);
    request.simplify = a.real(11, request.simplify);
    request.find_small = a.flag(12, request.find_small);
    validate_box(box);
    validate_depth("min_depth", request.min_depth);
    validate_depth("max_depth", request.max_depth);
    validate_depth_order(request.min_depth, request.max_depth);
    validate_finite("angle_threshold_deg", request.angle_threshold_deg);
    validate_finite("iso_value", request.iso_value);
    return native_extract_mesh_impl(eval_fn.get(), box, request, workers, progress);
  });
}

}  // namespace karvex::py
