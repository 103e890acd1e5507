#include "common/py/errors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "common/messages.h"
#include "common/py/text.h"
#include "support/alloc_context.h"
#include "support/panic.h"

namespace karvex::py {

namespace {

// Created once, kept for the life of the process; written under the
// interpreter lock only.
PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_at_boundary(std::string_view detail) {
  if (!detail.empty()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(messages::kUncaughtPanic.size()),
               messages::kUncaughtPanic.data());
  std::fflush(stderr);
  std::abort();
}

// Sets PanicException(message) as the current exception. If the instance
// cannot be made, the interpreter's own error (MemoryError) is left set.
void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  Ref instance = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!instance) return;
  PyErr_SetRaisedException(instance.release());
}

// Sets MemoryError, its message naming what the calling thread was doing
// (the core's work context) when one is recorded. Assembled in a fixed
// buffer: allocating now could fail again. Should even the message's str
// fail, the interpreter's own MemoryError is left set instead.
void raise_memory_error() noexcept {
  char work[200];
  const std::size_t length = describe_work(work_context(), work, sizeof work);
  if (length == 0) {
    PyErr_NoMemory();
    return;
  }
  char message[sizeof work + 64];
  std::size_t used = 0;
  for (const std::string_view part : {messages::kOutOfMemoryPrefix, std::string_view(work, length),
                                      messages::kOutOfMemorySuffix}) {
    const std::size_t n = std::min(part.size(), sizeof message - 1 - used);
    std::memcpy(message + used, part.data(), n);
    used += n;
  }
  message[used] = '\0';
  PyErr_SetString(PyExc_MemoryError, message);
}

}  // namespace

PythonError PythonError::fetch() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised != nullptr) return PythonError(Ref::steal(raised));
  return make(PyExc_SystemError, messages::kNoErrorSet);
}

PythonError PythonError::make(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  Ref instance = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
  if (!instance) {
    // Only a failing interpreter gets here (memory); report its error.
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
      raised = PyObject_CallNoArgs(PyExc_MemoryError);
      if (raised == nullptr) throw std::bad_alloc();
    }
    return PythonError(Ref::steal(raised));
  }
  return PythonError(std::move(instance));
}

bool PythonError::is_exactly(PyObject* type) const noexcept {
  return exception_ && reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
}

bool PythonError::is_panic() const {
  return exception_ && PyErr_GivenExceptionMatches(exception_.get(), panic_exception_type());
}

void PythonError::restore() noexcept {
  if (!exception_) {
    PyErr_SetString(PyExc_SystemError, messages::kNoErrorSet.data());
    return;
  }
  PyErr_SetRaisedException(exception_.release());
}

void throw_fetched() { throw PythonError::fetch(); }

void throw_error(PyObject* type, std::string_view message) {
  throw PythonError::make(type, message);
}

namespace {

// Both extension modules (_karvex_rs and karvex._native) are built from this
// file, each with a cell of its own. The first to need the type leaves it in
// the interpreter's dictionary under its qualified name, and the other takes
// it from there, so that both raise one class. The dictionary is only a
// meeting point: each module keeps its own strong reference. Any pending
// exception is kept as it was.
PyObject* shared_panic_type() noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* found = nullptr;
  if (PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get())) {
    if (PyDict_GetItemStringRef(shared, messages::kPanicName, &found) < 0) PyErr_Clear();
    if (found == nullptr) {
      found = PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc,
                                        PyExc_BaseException, nullptr);
      if (found != nullptr && PyDict_SetItemString(shared, messages::kPanicName, found) < 0) {
        PyErr_Clear();  // still usable by this module alone
      }
    }
  } else {
    found = PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc,
                                      PyExc_BaseException, nullptr);
  }
  if (found == nullptr) {
    PyErr_Print();
    abort_at_boundary(messages::kPanicTypeFailed);
  }
  PyErr_SetRaisedException(pending);
  return found;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) g_panic_type = shared_panic_type();
  return g_panic_type;
}

void resume_panic(const PythonError& error) {
  // Written through sys.stderr, like the interpreter's own tracebacks, so the
  // note and the traceback stay in order with other Python output.
  PySys_WriteStderr("%.*s\n", static_cast<int>(messages::kPanicFromField.size()),
                    messages::kPanicFromField.data());
  PyErr_DisplayException(error.exception());
  std::string message;
  try {
    message = str_of(error.exception());
  } catch (const PythonError&) {
    message = type_name(error.exception());
  }
  throw InvariantFailure(message);
}

void deliver_current_exception() noexcept {
  // Anything thrown while delivering the outcome (a second failure) ends the
  // process: no consistent way to report it remains.
  try {
    try {
      throw;
    } catch (PythonError& error) {
      error.restore();
    } catch (const InvariantFailure& failure) {
      raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
      raise_memory_error();
    } catch (const std::length_error&) {
      // A container asked for more elements than it can address: a request
      // for more memory than there is, like bad_alloc.
      raise_memory_error();
    } catch (const std::exception& failure) {
      raise_panic(failure.what());
    } catch (...) {
      raise_panic(messages::kUnknownFailure);
    }
  } catch (...) {
    abort_at_boundary({});
  }
  // A failure leaves the context of its stage behind for the report above;
  // the next call starts without it.
  clear_work_context();
}

}  // namespace karvex::py
