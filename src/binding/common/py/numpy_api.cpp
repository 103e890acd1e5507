#define KARVEX_NUMPY_API_OWNER
#include "common/py/numpy_api.h"

#include <string>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/text.h"
#include "support/panic.h"

namespace karvex::py {

void ensure_numpy_api() {
  if (PyArray_API != nullptr) return;
  // _import_array() rather than import_array()/PyArray_ImportNumPyAPI(): those
  // print the error and replace it by a generic ImportError, losing the cause
  // we want to report.
  if (_import_array() < 0) {
    const PythonError cause = PythonError::fetch();
    std::string detail;
    try {
      detail = type_name(cause.exception()) + ": " + str_of(cause.exception());
    } catch (const PythonError&) {
      detail = type_name(cause.exception());
    }
    PyArray_API = nullptr;
    fail(std::string(messages::kNumpyApi) + ": " + detail);
  }
}

}  // namespace karvex::py
