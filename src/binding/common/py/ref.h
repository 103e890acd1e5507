#pragma once

#include <Python.h>

#include <utility>

namespace karvex::py {

// A move-only owning reference to a Python object (one strong reference, or
// none). Borrowed references stay plain `PyObject*`; everything the binding
// owns lives in a Ref, so no reference is dropped or leaked on any exit path,
// exceptions included. Must be used, and destroyed, with the interpreter lock
// held.
class Ref {
 public:
  Ref() noexcept = default;
  ~Ref() { Py_XDECREF(ptr_); }

  Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = ptr_;
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
      // Dropped last: a destructor run by the decref may touch this object.
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
  // Takes a new reference to a borrowed object (may be null).
  static Ref borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Hands the reference to the caller (for returning to Python, or to an API
  // that steals it); the Ref is left empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

  // Drops the held reference, if any.
  void reset() noexcept {
    PyObject* old = std::exchange(ptr_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}

  PyObject* ptr_ = nullptr;
};

}  // namespace karvex::py
