#include "common/args.h"

#include <algorithm>
#include <string>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/text.h"

namespace karvex::py {

namespace {

// A length reported by __len__ is only a hint for `points`; a sequence that
// claims more items than it yields must not make us reserve that much.
constexpr Py_ssize_t kMaxReservedPoints = Py_ssize_t{1} << 20;

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out.append(names.size() == 2 ? " and " : ", ");
    if (i > 0 && i + 1 == names.size() && names.size() > 2) out.append("and ");
    out.append(1, '\'').append(names[i]).append(1, '\'');
  }
  return out;
}

// The error of a failed conversion of parameter `name` when it is exactly a
// TypeError: "argument '<name>': <message>", with the same cause.
PythonError with_parameter_name(const PythonError& error, std::string_view name) {
  PythonError renamed = PythonError::make(
      PyExc_TypeError, fill(messages::kArgumentPrefix, {name, py::str_of(error.exception())}));
  // Steals the cause reference; a null cause is allowed.
  PyException_SetCause(renamed.exception(), PyException_GetCause(error.exception()));
  return renamed;
}

template <class Convert>
auto converting(std::string_view name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError& error) {
    if (!error.is_exactly(PyExc_TypeError)) throw;
    throw with_parameter_name(error, name);
  }
}

double to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_fetched();
  return value;
}

Vec3 to_vec3(PyObject* obj) {
  if (!PySequence_Check(obj)) {
    throw_error(PyExc_TypeError,
                fill(messages::kCannotConvert, {py::type_name(obj), messages::kSequenceTarget}));
  }
  const Py_ssize_t length = PyObject_Size(obj);
  if (length < 0) throw_fetched();
  if (length != 3) {
    throw_error(PyExc_ValueError, fill(messages::kExpectedLength, {"3", std::to_string(length)}));
  }
  Vec3 v;
  for (int axis = 0; axis < 3; ++axis) {
    Ref key = checked(PyLong_FromLong(axis));
    Ref item = checked(PyObject_GetItem(obj, key.get()));
    v[axis] = to_double(item.get());
  }
  return v;
}

std::vector<Vec3> to_points(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw_error(PyExc_TypeError, messages::kStrIsNotPoints);
  if (!PySequence_Check(obj)) {
    throw_error(PyExc_TypeError,
                fill(messages::kCannotConvert, {py::type_name(obj), messages::kSequenceTarget}));
  }
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  std::vector<Vec3> points;
  points.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedPoints)));
  Ref iterator = checked(PyObject_GetIter(obj));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) points.push_back(to_vec3(item.get()));
  if (PyErr_Occurred()) throw_fetched();
  return points;
}

std::uint32_t to_u32(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) throw_fetched();
  if (value < 0 || value > 0xFFFFFFFFL) throw_error(PyExc_OverflowError, messages::kIntegerRange);
  return static_cast<std::uint32_t>(value);
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool_type(type)) {
    inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
      throw_error(PyExc_TypeError, fill(messages::kNoBoolConversion, {py::type_name(obj)}));
    }
    const int truth = nb_bool(obj);
    if (truth == 0 || truth == 1) return truth == 1;
    throw_fetched();
  }
  throw_error(PyExc_TypeError,
              fill(messages::kCannotConvert, {py::type_name(obj), messages::kBoolTarget}));
}

}  // namespace

bool is_numpy_bool_type(PyTypeObject* type) {
  Ref module = checked(PyType_GetModuleName(type));
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
  Ref name = checked(PyType_GetName(type));
  return PyUnicode_Check(name.get()) &&
         (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

Arguments::Arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames)
    : signature_(signature) {
  const std::size_t count = signature.parameters.size();
  const std::size_t most_positional = std::min(count, signature.positional);
  const std::size_t positional = static_cast<std::size_t>(nargs);
  if (positional > most_positional) {
    const std::string_view verb = positional == 1 ? "was" : "were";
    const std::string given = std::to_string(positional);
    if (signature.required < most_positional) {
      throw_error(PyExc_TypeError, fill(messages::kTooManyPositionalRange,
                                        {signature.function, std::to_string(signature.required),
                                         std::to_string(most_positional), given, verb}));
    }
    throw_error(PyExc_TypeError,
                fill(messages::kTooManyPositional,
                     {signature.function, std::to_string(most_positional), given, verb}));
  }
  for (std::size_t i = 0; i < positional; ++i) values_[i] = args[i];

  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = signature.positional_only;
    while (index < count && !PyUnicode_EqualToUTF8AndSize(
                                keyword, signature.parameters[index].data(),
                                static_cast<Py_ssize_t>(signature.parameters[index].size()))) {
      ++index;
    }
    if (index == count) {
      throw_error(PyExc_TypeError,
                  fill(messages::kUnexpectedKeyword, {signature.function, py::utf8(keyword)}));
    }
    if (values_[index] != nullptr) {
      throw_error(PyExc_TypeError, fill(messages::kMultipleValues,
                                        {signature.function, signature.parameters[index]}));
    }
    values_[index] = args[nargs + k];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (values_[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (!missing.empty()) {
    throw_error(PyExc_TypeError,
                fill(messages::kMissingRequired,
                     {signature.function, std::to_string(missing.size()),
                      missing.size() == 1 ? "argument" : "arguments", name_list(missing)}));
  }
}

Ref Arguments::object(std::size_t index) const { return Ref::borrow(values_[index]); }

Vec3 Arguments::vec3(std::size_t index) const {
  return converting(name(index), [&] { return to_vec3(values_[index]); });
}

std::vector<Vec3> Arguments::points(std::size_t index) const {
  return converting(name(index), [&] { return to_points(values_[index]); });
}

std::uint32_t Arguments::u32(std::size_t index, std::uint32_t fallback) const {
  if (!given(index)) return fallback;
  return converting(name(index), [&] { return to_u32(values_[index]); });
}

double Arguments::real(std::size_t index, double fallback) const {
  if (!given(index)) return fallback;
  return converting(name(index), [&] { return to_double(values_[index]); });
}

bool Arguments::flag(std::size_t index, bool fallback) const {
  if (!given(index)) return fallback;
  return converting(name(index), [&] { return to_bool(values_[index]); });
}

}  // namespace karvex::py
