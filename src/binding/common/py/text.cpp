#include "common/py/text.h"

#include "common/py/errors.h"
#include "common/py/ref.h"

namespace karvex::py {

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> parts) {
  std::string out;
  out.reserve(pattern.size() + 16 * parts.size());
  auto part = parts.begin();
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const std::size_t hole = pattern.find("{}", pos);
    if (hole == std::string_view::npos || part == parts.end()) break;
    out.append(pattern, pos, hole - pos);
    out.append(*part++);
    pos = hole + 2;
  }
  if (pos < pattern.size()) out.append(pattern, pos);
  return out;
}

std::string utf8(PyObject* text) {
  Ref bytes = checked(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string str_of(PyObject* obj) {
  Ref text = checked(PyObject_Str(obj));
  return utf8(text.get());
}

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name && PyUnicode_Check(name.get())) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(name.get(), "utf-8", "backslashreplace"));
    if (bytes) {
      return std::string(PyBytes_AS_STRING(bytes.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
  }
  // The message being built is the error the caller sees; an exotic type
  // whose name cannot be read must not replace it.
  PyErr_Clear();
  return "<unknown>";
}

std::string float_repr(double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) throw PythonError::fetch();
  std::string out(text);
  PyMem_Free(text);
  return out;
}

}  // namespace karvex::py
