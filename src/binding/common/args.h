#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/py/ref.h"
#include "support/vec3.h"

namespace karvex::py {

// How one module function takes its arguments: its name, its parameters in
// order, how many leading parameters are required, how many may be given by
// position (the rest are keyword-only) and how many leading ones only by
// position (a keyword naming one of those is unexpected).
struct Signature {
  std::string_view function;
  std::span<const std::string_view> parameters;
  std::size_t required;
  std::size_t positional = static_cast<std::size_t>(-1);  // default: every parameter
  std::size_t positional_only = 0;
};

// The most parameters a module function has (karvex._native.extract_mesh).
inline constexpr std::size_t kMaxParameters = 16;

// Whether `type` is NumPy's boolean scalar type (numpy.bool_, named
// numpy.bool since NumPy 2), recognised by module and name so that NumPy
// need not be imported.
bool is_numpy_bool_type(PyTypeObject* type);

// The arguments of one call, bound to their parameters. Binding and every
// conversion throw py::PythonError with the module's argument messages. A
// TypeError raised while converting a parameter is re-raised as
// TypeError("argument '<name>': <message>") carrying over the original cause;
// errors of other types pass unchanged.
class Arguments {
 public:
  // Binds the fast-call vector: `nargs` positional arguments, then one value
  // per name in `kwnames` (a tuple, or null). Fails with TypeError for too
  // many positional arguments, a repeated or unknown keyword (the first one
  // stops binding) and missing required parameters (all listed).
  Arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // Whether parameter `index` was given.
  bool given(std::size_t index) const { return values_[index] != nullptr; }

  // Converters. Optional parameters that were not given yield `fallback`;
  // required ones are always given once binding succeeded.

  // A new reference to the object as it is (callability is not checked).
  py::Ref object(std::size_t index) const;
  // A sequence of exactly three numbers.
  Vec3 vec3(std::size_t index) const;
  // A sequence (not a str) of sequences of exactly three numbers.
  std::vector<Vec3> points(std::size_t index) const;
  // An int (or __index__ object) in 0..4294967295.
  std::uint32_t u32(std::size_t index, std::uint32_t fallback = 0) const;
  // A float, or anything float() accepts through __float__ / __index__.
  double real(std::size_t index, double fallback = 0.0) const;
  // True, False or a NumPy boolean scalar.
  bool flag(std::size_t index, bool fallback = false) const;

 private:
  std::string_view name(std::size_t index) const { return signature_.parameters[index]; }

  const Signature& signature_;
  std::array<PyObject*, kMaxParameters> values_{};  // borrowed from the call
};

}  // namespace karvex::py
