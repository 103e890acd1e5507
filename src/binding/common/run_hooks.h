#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "pool/run_monitor.h"

namespace karvex::py {

// The core's RunHooks for a call from Python: poll() runs the interpreter's
// pending signal handlers (PyErr_CheckSignals; only the main thread has any)
// and throws the error one raises, KeyboardInterrupt for Ctrl-C; progress()
// calls `progress(stage, done, total)` when a callable was given and throws
// whatever it raises. Both run on the calling thread, which holds the
// interpreter lock throughout a call.
class PythonRunHooks final : public RunHooks {
 public:
  // `progress` is borrowed (the caller keeps it alive) and may be null.
  explicit PythonRunHooks(PyObject* progress = nullptr) : progress_(progress) {}

  void progress(std::string_view stage, std::uint64_t done, std::uint64_t total) override;
  void poll() override;

 private:
  PyObject* progress_;
};

}  // namespace karvex::py
