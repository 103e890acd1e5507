#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "common/py/ref.h"

namespace karvex::py {

// A Python exception taken out of the interpreter, carried through C++ code
// as a C++ exception, and put back unchanged (type, message, traceback,
// cause) at the module boundary. The core lets it pass untouched.
//
// Copying and destroying touch a Python reference, so both happen only with
// the interpreter lock held; the binding only throws it on the calling thread
// (worker threads never call into Python).
class PythonError : public std::exception {
 public:
  // Takes over the exception instance `exception` (must not be null).
  explicit PythonError(Ref exception) noexcept : exception_(std::move(exception)) {}
  PythonError(const PythonError& other) noexcept
      : std::exception(other), exception_(Ref::borrow(other.exception_.get())) {}
  PythonError(PythonError&&) noexcept = default;
  PythonError& operator=(const PythonError&) = delete;
  PythonError& operator=(PythonError&&) = delete;
  ~PythonError() override = default;

  // Takes the interpreter's pending exception and clears it. With none
  // pending, the error is SystemError "attempted to fetch exception but none
  // was set".
  static PythonError fetch();

  // A new exception `type(message)`.
  static PythonError make(PyObject* type, std::string_view message);

  const char* what() const noexcept override { return "Python exception"; }

  // The exception instance (borrowed).
  PyObject* exception() const noexcept { return exception_.get(); }

  // Whether the exception's type is exactly `type` (subclasses excluded).
  bool is_exactly(PyObject* type) const noexcept;

  // Whether the exception is a PanicException.
  bool is_panic() const;

  // Makes this the interpreter's current exception; leaves this empty.
  void restore() noexcept;

 private:
  Ref exception_;
};

// Throws the pending Python error (see PythonError::fetch).
[[noreturn]] void throw_fetched();

// Throws a new `type(message)`.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// Owns `result` (a new reference from a C API call); a null result means the
// call raised, and that error is thrown.
inline Ref checked(PyObject* result) {
  if (result == nullptr) throw_fetched();
  return Ref::steal(result);
}

// The PanicException type: created on first use and kept for the life of the
// process. Never an attribute of _karvex_rs (karvex._native exports it). If
// it cannot be created, the process aborts (there is no way left to report
// the failure).
PyObject* panic_exception_type() noexcept;

// A PanicException that eval_fn raised: writes a note and the exception's
// Python traceback to stderr, then continues it as an InvariantFailure with
// the same message, so the outer call raises PanicException again.
[[noreturn]] void resume_panic(const PythonError& error);

// Turns the C++ exception being handled into the Python outcome: a
// PythonError is restored unchanged, an InvariantFailure becomes
// PanicException(message), std::bad_alloc and std::length_error (a container
// asked for more than it can address) become MemoryError. Call only
// inside a catch block. A failure while delivering aborts the process.
void deliver_current_exception() noexcept;

// The one entry wrapper of every Python-visible function: runs `body` (which
// returns the result as a Ref) and turns any C++ exception into the Python
// outcome. Returns a new reference, or null with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    deliver_current_exception();
    return nullptr;
  }
}

}  // namespace karvex::py
