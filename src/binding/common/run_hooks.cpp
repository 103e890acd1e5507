#include "common/run_hooks.h"

#include "common/py/errors.h"
#include "common/py/ref.h"

namespace karvex::py {

void PythonRunHooks::poll() {
  // A flag test unless a signal arrived: cheap enough for every chunk.
  if (PyErr_CheckSignals() < 0) throw_fetched();
}

void PythonRunHooks::progress(std::string_view stage, std::uint64_t done, std::uint64_t total) {
  if (progress_ == nullptr) return;
  Ref name = checked(
      PyUnicode_DecodeUTF8(stage.data(), static_cast<Py_ssize_t>(stage.size()), "strict"));
  Ref done_number = checked(PyLong_FromUnsignedLongLong(done));
  Ref total_number = checked(PyLong_FromUnsignedLongLong(total));
  PyObject* args[] = {name.get(), done_number.get(), total_number.get()};
  // The result is not used; an exception from the callable ends the call.
  checked(PyObject_Vectorcall(progress_, args, 3, nullptr));
}

}  // namespace karvex::py
