// karvex._native.extract_mesh: the meshing call of the karvex package. Its
// arguments are bound by keyword through one table (kParameters): name,
// conversion and check into the options record, default; the table also
// gives the text signature. Beside what _karvex_rs.extract_mesh does it keeps
// every piece on request, simplifies, looks for small features, reports
// progress per stage against known totals, runs on a pool of its own when
// given a worker count, and can be interrupted. Its messages are the
// package's (native/messages.h).
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/args.h"
#include "common/meshing.h"
#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/text.h"
#include "common/run_hooks.h"
#include "common/validate.h"
#include "native/functions.h"
#include "native/messages.h"
#include "native/volume_argument.h"
#include "pool/worker_pool.h"
#include "support/bbox.h"
#include "support/meshing_options.h"
#include "volume/volume_field.h"

namespace karvex::py {

namespace {

// More threads than this is a mistake, not a machine: each one costs a stack.
constexpr long long kMaxWorkers = 1024;

// Everything one call takes, bound and converted. `given` keeps the
// arguments as the caller passed them (borrowed from the call, by table
// row), for messages that repeat them.
struct NativeCall {
  MeshingOptions options;
  std::size_t workers = 0;       // 0: the process-wide pool
  PyObject* progress = nullptr;  // null: no progress
  PyObject* bounds = nullptr;    // the box as the caller wrote it, for messages
  std::optional<VolumeArgument> volume;  // set: sample this, not the field
  std::array<PyObject*, kMaxParameters> given{};
};

// The package's defaults: the record's, small features are looked for and
// contouring samples the field sparingly.
NativeCall defaults() {
  NativeCall call;
  call.options.find_small = true;
  call.options.lean_sampling = true;
  return call;
}

// One parameter after the box: its name, how a given value is converted and
// checked into the call (absent values keep the defaults), and how its
// default is shown in the text signature.
struct Parameter {
  std::string_view name;
  void (*bind)(std::string_view name, PyObject* value, NativeCall& call);
  std::string (*shown_default)(const NativeCall& defaults);
};

// --- Conversions ------------------------------------------------------------

bool is_bool(PyObject* value) { return PyBool_Check(value) || is_numpy_bool_type(Py_TYPE(value)); }

// Whether `value` is an instance of numbers.<abc> (Integral, Real).
bool is_number(PyObject* value, const char* abc) {
  const Ref numbers = checked(PyImport_ImportModule("numbers"));
  const Ref type = checked(PyObject_GetAttrString(numbers.get(), abc));
  const int result = PyObject_IsInstance(value, type.get());
  if (result < 0) throw_fetched();
  return result == 1;
}

// The value as messages show it: its repr, cut to 60 characters, and the
// name of its type.
std::string show_value(PyObject* value) {
  Ref text = checked(PyObject_Repr(value));
  if (PyUnicode_GetLength(text.get()) > 60) {
    const Ref head = checked(PyUnicode_Substring(text.get(), 0, 57));
    text = checked(PyUnicode_FromFormat("%U...", head.get()));
  }
  return utf8(text.get()) + " (" + type_name(value) + ")";
}

// A number as Python's "{:g}" shows it ("30", "0.5").
std::string shown_number(double value) {
  const Ref number = checked(PyFloat_FromDouble(value));
  const Ref text = checked(PyObject_Format(number.get(), Ref::steal(PyUnicode_FromString("g")).get()));
  return utf8(text.get());
}

std::string repr_of(PyObject* value) {
  const Ref text = checked(PyObject_Repr(value));
  return utf8(text.get());
}

double to_real(std::string_view name, PyObject* value, std::string_view type_message,
               std::string_view hint = {}) {
  if (is_bool(value) || !is_number(value, "Real")) {
    throw_error(PyExc_TypeError, fill(type_message, {name, show_value(value), hint}));
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) throw_fetched();
  return number;
}

template <std::int64_t MeshingOptions::* field>
void bind_depth(std::string_view name, PyObject* value, NativeCall& call) {
  if (is_bool(value) || !is_number(value, "Integral")) {
    throw_error(PyExc_TypeError, fill(native_messages::kNotInteger, {name, show_value(value)}));
  }
  const Ref number = checked(PyNumber_Index(value));
  int overflow = 0;
  const long long depth = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (depth == -1 && PyErr_Occurred()) throw_fetched();
  // Beyond 64 bits is out of range all the same; the message shows the int.
  call.options.*field = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : depth;
}

template <double MeshingOptions::* field>
void bind_real(std::string_view name, PyObject* value, NativeCall& call) {
  call.options.*field = to_real(name, value, native_messages::kNotReal);
}

template <bool MeshingOptions::* field>
void bind_flag(std::string_view name, PyObject* value, NativeCall& call) {
  if (!is_bool(value)) {
    throw_error(PyExc_TypeError, fill(native_messages::kNotFlag, {name, show_value(value)}));
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw_fetched();
  call.options.*field = truth == 1;
}

// None: no simplification; otherwise a positive finite distance.
void bind_tolerance(std::string_view name, PyObject* value, NativeCall& call) {
  if (value == Py_None) return;
  const double tolerance =
      to_real(name, value, native_messages::kToleranceType, native_messages::kToleranceHint);
  if (!is_tolerance(tolerance)) {
    throw_error(PyExc_ValueError, fill(native_messages::kToleranceRange,
                                       {name, float_repr(tolerance),
                                        native_messages::kToleranceHint}));
  }
  call.options.simplify = tolerance;
}

// None: the default worker count; otherwise an int (not a bool) in
// 1..kMaxWorkers.
void bind_workers(std::string_view name, PyObject* value, NativeCall& call) {
  if (value == Py_None) return;
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    throw_error(PyExc_TypeError, fill(native_messages::kNotInteger, {name, show_value(value)}));
  }
  const Ref number = checked(PyNumber_Index(value));
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw_fetched();
  if (overflow < 0 || (overflow == 0 && count < 1)) {
    throw_error(PyExc_ValueError, fill(native_messages::kWorkersTooFew, {str_of(number.get())}));
  }
  if (overflow > 0 || count > kMaxWorkers) {
    throw_error(PyExc_ValueError, fill(native_messages::kWorkersTooMany,
                                       {std::to_string(kMaxWorkers), str_of(number.get())}));
  }
  call.workers = static_cast<std::size_t>(count);
}

// None or a callable taking (stage, done, total).
void bind_progress(std::string_view, PyObject* value, NativeCall& call) {
  if (value == Py_None) return;
  if (!PyCallable_Check(value)) {
    throw_error(PyExc_TypeError, fill(native_messages::kProgressType, {type_name(value)}));
  }
  call.progress = value;  // the call's argument vector keeps it alive
}

// None: the whole cube; otherwise six ints, the block of finest cells
// [x0, x1) x [y0, y1) x [z0, z1) whose faces are made.
void bind_tile(std::string_view, PyObject* value, NativeCall& call) {
  if (value == Py_None) return;
  const Ref items = Ref::steal(PySequence_Fast(value, ""));
  if (!items || PySequence_Fast_GET_SIZE(items.get()) != 6) {
    PyErr_Clear();
    throw_error(PyExc_TypeError, fill(native_messages::kTileType, {show_value(value)}));
  }
  std::array<long long, 6> bounds{};
  for (std::size_t i = 0; i < 6; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
      throw_error(PyExc_TypeError, fill(native_messages::kTileType, {show_value(value)}));
    }
    const Ref number = checked(PyNumber_Index(item));
    int overflow = 0;
    bounds[i] = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (bounds[i] == -1 && PyErr_Occurred()) throw_fetched();
    if (overflow != 0) bounds[i] = -1;  // out of range all the same
  }
  LatticeBlock block;
  for (std::size_t a = 0; a < 3; ++a) {
    block.lo[a] = bounds[a];
    block.hi[a] = bounds[3 + a];
    if (block.lo[a] < 0 || block.hi[a] <= block.lo[a] || block.hi[a] > (std::int64_t{1} << 31)) {
      throw_error(PyExc_ValueError, fill(native_messages::kTileRange, {repr_of(value)}));
    }
  }
  call.options.tile = block;
}

void bind_bounds(std::string_view, PyObject* value, NativeCall& call) {
  if (value != Py_None) call.bounds = value;
}

// None, or (array, spacing, origin, inside_above): a volume sampled natively
// (native/volume_argument.h).
void bind_volume(std::string_view, PyObject* value, NativeCall& call) {
  if (value != Py_None) call.volume = read_volume_argument("volume", value);
}

// --- Defaults as the text signature shows them ------------------------------

std::string none(const NativeCall&) { return "None"; }

template <std::int64_t MeshingOptions::* field>
std::string shown_int(const NativeCall& d) {
  return std::to_string(d.options.*field);
}

template <double MeshingOptions::* field>
std::string shown_real(const NativeCall& d) {
  return float_repr(d.options.*field);
}

template <bool MeshingOptions::* field>
std::string shown_flag(const NativeCall& d) {
  return d.options.*field ? "True" : "False";
}

// --- The table --------------------------------------------------------------

using O = MeshingOptions;

// Positional only: field, bbox_min, bbox_max. Keyword-only: these, in order.
constexpr Parameter kParameters[] = {
    {"min_depth", bind_depth<&O::min_depth>, shown_int<&O::min_depth>},
    {"max_depth", bind_depth<&O::max_depth>, shown_int<&O::max_depth>},
    {"level", bind_real<&O::level>, shown_real<&O::level>},
    {"sharp_angle", bind_real<&O::sharp_angle>, shown_real<&O::sharp_angle>},
    {"adaptive", bind_flag<&O::adaptive>, shown_flag<&O::adaptive>},
    {"keep_all", bind_flag<&O::keep_all>, shown_flag<&O::keep_all>},
    {"simplify", bind_tolerance, none},
    {"find_small", bind_flag<&O::find_small>, shown_flag<&O::find_small>},
    {"lean_sampling", bind_flag<&O::lean_sampling>, shown_flag<&O::lean_sampling>},
    {"workers", bind_workers, none},
    {"progress", bind_progress, none},
    {"tile", bind_tile, none},
    // The box as the caller wrote it, shown by the box messages (None: the
    // two corners as given).
    {"bounds", bind_bounds, none},
    // A volume of samples meshed in place of the field (which is None then):
    // sampled on the pool, capped by the box, its range in the box returned.
    {"volume", bind_volume, none},
};
constexpr std::size_t kLeading = 3;  // field, bbox_min, bbox_max
constexpr std::size_t kCount = kLeading + std::size(kParameters);
static_assert(kCount <= kMaxParameters);

constexpr std::array<std::string_view, kCount> parameter_names() {
  std::array<std::string_view, kCount> names{"field", "bbox_min", "bbox_max"};
  for (std::size_t i = 0; i < std::size(kParameters); ++i) names[kLeading + i] = kParameters[i].name;
  return names;
}
constexpr std::array<std::string_view, kCount> kNames = parameter_names();
constexpr Signature kSignature{"extract_mesh", kNames, kLeading, kLeading, kLeading};

// --- Faults, in the package's words -----------------------------------------

// The argument the caller gave for `name` (a row of the table).
PyObject* given(const NativeCall& call, std::string_view name) {
  for (std::size_t i = 0; i < kCount; ++i) {
    if (kNames[i] == name) return call.given[i];
  }
  return nullptr;
}

std::string shown_bounds(const NativeCall& call) {
  if (call.bounds != nullptr) return repr_of(call.bounds);
  const Ref pair = checked(PyTuple_Pack(2, call.given[1], call.given[2]));
  return repr_of(pair.get());
}

// The depth as the caller gave it (an int of any size), or the record's.
std::string shown_depth(const NativeCall& call, std::string_view name, std::int64_t depth) {
  PyObject* value = given(call, name);
  if (value == nullptr) return std::to_string(depth);
  const Ref number = checked(PyNumber_Index(value));
  return str_of(number.get());
}

// A number with three significant digits, as Python's format "{:.3g}".
std::string three_digits(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

// What to do about finest cells float64 cannot resolve: the deepest depth
// that works (with min_depth lowered too where needed), or moving the shape.
std::string resolution_fix(std::int64_t workable, std::int64_t min_depth) {
  if (workable < 0) return std::string(native_messages::kResolutionMove);
  const std::string depths =
      "max_depth=" + std::to_string(workable) + (workable > 0 ? " or less" : "");
  return fill(workable >= min_depth ? native_messages::kResolutionDepth
                                    : native_messages::kResolutionDepths,
              {depths});
}

[[noreturn]] void raise_fault(const OptionFault& fault, const NativeCall& call, const BBox& box) {
  constexpr std::string_view kAxisNames[] = {"x", "y", "z"};
  const MeshingOptions& o = call.options;
  std::string message;
  switch (fault.rule) {
    case OptionRule::kBoxNotFinite:
      message = fill(native_messages::kBoundsNotFinite, {shown_bounds(call)});
      break;
    case OptionRule::kBoxFlat:
    case OptionRule::kBoxEmpty:
    case OptionRule::kBoxInverted:  // the flat rule comes first; kept for completeness
      message = fill(native_messages::kBoundsFlat,
                     {shown_bounds(call), kAxisNames[fault.axis < 0 ? 0 : fault.axis]});
      break;
    case OptionRule::kBoxTooLarge:
      message = fill_box(messages::kBoxTooLarge, box);
      break;
    case OptionRule::kDepthRange: {
      const std::string_view name =
          fault.argument == OptionArgument::kMinDepth ? "min_depth" : "max_depth";
      message = fill(native_messages::kDepthRange,
                     {name, std::to_string(kDeepestDepth), shown_depth(call, name, fault.depth)});
      break;
    }
    case OptionRule::kDepthOrder:
      message = fill(native_messages::kDepthOrder,
                     {std::to_string(o.min_depth), std::to_string(o.max_depth)});
      break;
    case OptionRule::kNotFinite:
      message = fill(native_messages::kNotFinite,
                     {fault.argument == OptionArgument::kLevel ? "level" : "sharp_angle",
                      float_repr(fault.value)});
      break;
    case OptionRule::kAngleRange: {
      PyObject* angle = given(call, "sharp_angle");
      message = fill(native_messages::kAngleRange,
                     {angle != nullptr ? repr_of(angle) : float_repr(fault.value),
                      shown_number(kDefaultSharpAngle)});
      break;
    }
    case OptionRule::kCellsTooFine:
      message = fill(native_messages::kCellsTooFine,
                     {std::to_string(o.max_depth), three_digits(fault.value),
                      three_digits(fault.reach), three_digits(fault.step),
                      std::to_string(static_cast<long long>(kMinCellSteps)),
                      resolution_fix(fault.depth, o.min_depth)});
      break;
  }
  throw_error(PyExc_ValueError, message);
}

// Runs the call with `workers` threads of its own (0: the process-wide pool)
// and the hooks of `progress` (may be null).
Ref native_extract_mesh_impl(PyObject* eval_fn, const BBox& box, NativeCall call) {
  PythonRunHooks hooks(call.progress);
  call.options.run.hooks = &hooks;
  // The pool of this call is joined when the call ends, however it ends.
  std::unique_ptr<WorkerPool> own_pool;
  if (call.workers > 0) {
    own_pool = std::make_unique<WorkerPool>(call.workers);
    call.options.run.pool = own_pool.get();
  }
  if (!call.volume) return mesh_arrays_impl(eval_fn, box, call.options);
  WorkerPool& pool = own_pool ? *own_pool : global_pool();
  VolumeField field(call.volume->samples, call.volume->placement, pool,
                    BoxCap(box.min, box.max, call.options.level), call.volume->window);
  const Ref arrays = mesh_arrays_of(field, box, call.options);
  const Ref range = checked(Py_BuildValue("(dd)", field.low(), field.high()));
  if (!call.options.tile) {
    return checked(PyTuple_Pack(3, PyTuple_GET_ITEM(arrays.get(), 0),
                                PyTuple_GET_ITEM(arrays.get(), 1), range.get()));
  }
  return checked(PyTuple_Pack(4, PyTuple_GET_ITEM(arrays.get(), 0),
                              PyTuple_GET_ITEM(arrays.get(), 1), range.get(),
                              PyTuple_GET_ITEM(arrays.get(), 2)));
}

}  // namespace

std::string native_extract_mesh_signature() {
  const NativeCall d = defaults();
  std::string text = "extract_mesh(field, bbox_min, bbox_max, /, *";
  for (const Parameter& p : kParameters) {
    text.append(", ").append(p.name).append("=").append(p.shown_default(d));
  }
  return text.append(")");
}

PyObject* karvex_native_extract_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    const Arguments a(kSignature, args, nargs, kwnames);
    NativeCall call = defaults();
    for (std::size_t i = 0; i < kCount; ++i) call.given[i] = a.given(i) ? a.object(i).get() : nullptr;
    const BBox box{a.vec3(1), a.vec3(2)};
    // Every argument is converted before any rule is checked, and every
    // rule is checked before the field is first called.
    for (std::size_t i = 0; i < std::size(kParameters); ++i) {
      PyObject* value = call.given[kLeading + i];
      if (value != nullptr) kParameters[i].bind(kParameters[i].name, value, call);
    }
    const StrictRules strict{
        .every_axis_positive = true, .angle_within_half_turn = true, .cells_resolved = true};
    if (const auto fault = check_meshing_options(call.options, box, strict)) {
      raise_fault(*fault, call, box);
    }
    if (call.volume && call.given[0] != Py_None) {
      throw_error(PyExc_TypeError, "extract_mesh() takes field=None when volume is given");
    }
    return native_extract_mesh_impl(call.given[0], box, call);
  });
}

}  // namespace karvex::py
