// The module entry of karvex._native, the karvex package's private extension:
// PyInit__native creates the module once per process with its one function.
// It shares the binding and the core with _karvex_rs (both are built from the
// same sources) and raises the same PanicException class.
#include <Python.h>

#include "native_functions.h"
#include "native_messages.h"
#include "py/errors.h"
#include "py/module_once.h"
#include "py/ref.h"

namespace karvex::py {

namespace {

PyMethodDef g_functions[] = {
    {"extract_mesh", fastcall(karvex_native_extract_mesh), METH_FASTCALL | METH_KEYWORDS,
     "extract_mesh(eval_fn, bbox_min, bbox_max, min_depth=3, max_depth=7, "
     "angle_threshold_deg=30.0, iso_value=0.0, adaptive=False, keep_all=False, workers=0, "
     "progress=None, simplify=0.0, find_small=False)\n--\n\n"
     "Mesh the level set iso_value of eval_fn inside the box.\n\n"
     "As _karvex_rs.extract_mesh, and: keep_all keeps every connected piece instead of\n"
     "the largest; workers > 0 runs the call on that many threads of its own (0: the\n"
     "process-wide pool); progress, when not None, is called as progress(stage, done,\n"
     "total) on the calling thread between chunks of work. Ctrl-C ends the call with\n"
     "KeyboardInterrupt. simplify > 0 collapses cells whose merged quadratic error stays\n"
     "within that distance (0 or less: none); find_small tests the cells of the initial\n"
     "grid that have no sign change for surface hidden between their corners. Returns\n"
     "(vertices float64 (V, 3), faces int64 (F, 3))."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "karvex._native",
    "Native meshing for the karvex package (private: use karvex.mesh).",
    0,  // no per-module state; one module per process
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// As in _karvex_rs: the core's process-wide state (the worker pool, the
// exception type) belongs to the first interpreter that imports the module.
ModuleOnce g_once;

}  // namespace

}  // namespace karvex::py

PyMODINIT_FUNC PyInit__native(void) {
  return karvex::py::guarded([] {
    return karvex::py::module_once(karvex::py::g_once, karvex::py::g_module_def,
                                   karvex::py::native_messages::kSubinterpreter);
  });
}
