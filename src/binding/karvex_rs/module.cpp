// The module entry: PyInit__karvex_rs creates the module once per process and
// attaches the five functions in table order.
#include <Python.h>

#include <string>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/module_once.h"
#include "common/py/ref.h"
#include "common/py/text.h"
#include "karvex_rs/functions.h"
#include "support/panic.h"

namespace karvex::py {

namespace {

// Each docstring starts with the text signature, from which Python derives
// __text_signature__ and inspect.signature().
PyMethodDef g_functions[] = {
    {"extract_mesh", fastcall(karvex_extract_mesh), METH_FASTCALL | METH_KEYWORDS,
     "extract_mesh(eval_fn, bbox_min, bbox_max, min_depth=3, max_depth=7, "
     "angle_threshold_deg=30.0, iso_value=0.0, adaptive=False)\n--\n\n"
     "Isosurface extraction entry point.\n\n"
     "Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh."},
    {"build_octree_uniform", fastcall(karvex_build_octree_uniform), METH_FASTCALL | METH_KEYWORDS,
     "build_octree_uniform(eval_fn, bbox_min, bbox_max, depth, iso_value=0.0)\n--\n\n"
     "Build a uniform octree and return statistics."},
    {"build_octree_adaptive", fastcall(karvex_build_octree_adaptive), METH_FASTCALL | METH_KEYWORDS,
     "build_octree_adaptive(eval_fn, bbox_min, bbox_max, min_depth, max_depth, "
     "iso_value=0.0)\n--\n\n"
     "Build an adaptive octree and return statistics."},
    {"test_batch_eval", fastcall(karvex_test_batch_eval), METH_FASTCALL | METH_KEYWORDS,
     "test_batch_eval(eval_fn, points)\n--\n\n"
     "Test function to verify the batch evaluation bridge works."},
    {"test_fd_gradients", fastcall(karvex_test_fd_gradients), METH_FASTCALL | METH_KEYWORDS,
     "test_fd_gradients(eval_fn, points, step=1e-5)\n--\n\n"
     "Test function for finite-difference gradient estimation."},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_karvex_rs",
    "",       // __doc__ is the empty string, not None
    0,        // no per-module state
    nullptr,  // functions are attached by module_init, in table order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module object and its functions are bound to the first interpreter
// that imports it; every later import returns the very same object.
ModuleOnce g_once;

// The module's __all__ list, created when missing.
Ref all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_fetched();
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) py::throw_fetched();
  }
  if (!PyList_Check(all.get())) {
    py::throw_error(PyExc_TypeError, py::fill(messages::kCannotConvert,
                                              {py::type_name(all.get()), messages::kListTarget}));
  }
  return all;
}

// Attaches each function of the table, in order, and lists it in __all__.
void module_init(PyObject* module) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  for (PyMethodDef& def : g_functions) {
    Ref function = checked(PyCMethod_New(&def, module, module_name.get(), nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    Ref all = all_list(module);
    if (PyList_Append(all.get(), name.get()) < 0) {
      PyErr_Clear();
      fail(std::string(messages::kAppendAll));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) py::throw_fetched();
  }
}

}  // namespace

}  // namespace karvex::py

PyMODINIT_FUNC PyInit__karvex_rs(void) {
  return karvex::py::guarded([] {
    return karvex::py::module_once(karvex::py::g_once, karvex::py::g_module_def,
                                   karvex::py::messages::kSubinterpreter, karvex::py::module_init);
  });
}
