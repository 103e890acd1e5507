#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace karvex::py {

// Replaces each "{}" of `pattern`, in order, by the next entry of `parts`.
// Surplus placeholders stay as they are; surplus parts are ignored.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> parts);

// UTF-8 text of a str object; characters UTF-8 cannot hold (lone surrogates)
// are written as backslash escapes, so this never fails on odd input. Throws
// PythonError only if the interpreter fails (memory).
std::string utf8(PyObject* text);

// str(obj) as UTF-8, escaping as above. Throws PythonError if str() raises.
std::string str_of(PyObject* obj);

// __qualname__ of the object's type ("int", "ndarray", "float64"); an
// unreadable name gives "<unknown>" rather than a second error.
std::string type_name(PyObject* obj);

// Python's repr() of a float: "0.0", "1e-05", "nan", "-inf".
std::string float_repr(double value);

}  // namespace karvex::py
