#pragma once

// What the two extension modules share about their creation: one module
// object per process, bound to the first interpreter that imports it, and
// the cast that stores a fast-call function in a method table.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "common/py/ref.h"

namespace karvex::py {

// The process-wide state of one module: the interpreter that first imported
// it (-1 until then) and one strong reference to the module, kept for the
// life of the process so that every later import returns the same object.
// The reference is written under the interpreter lock.
struct ModuleOnce {
  std::atomic<std::int64_t> owner{-1};
  PyObject* module = nullptr;
};

// Returns the module of `once`, creating it from `def` (and `fill`, when
// given, attaching its contents) on the first import. An import from another
// interpreter raises ImportError with `subinterpreter_message`; a failing
// interpreter-id query raises the pending error.
Ref module_once(ModuleOnce& once, PyModuleDef& def, std::string_view subinterpreter_message,
                void (*fill)(PyObject* module) = nullptr);

// A method table stores every entry as a PyCFunction; METH_FASTCALL |
// METH_KEYWORDS tells Python the real signature. The detour through
// void (*)() keeps the compiler from warning about the deliberate cast.
inline PyCFunction fastcall(PyCFunctionFastWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace karvex::py
