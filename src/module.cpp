#include <Python.h>

// Placeholder module entry until the binding layer lands.
static PyModuleDef karvex_module = {PyModuleDef_HEAD_INIT, "_karvex_rs", "", 0, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__karvex_rs(void) { return PyModule_Create2(&karvex_module, 1013); }
