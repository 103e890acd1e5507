# Sources of the Python binding (src/binding, its include root): the only code
# that includes Python.h or NumPy. KARVEX_BINDING_SOURCES is what every
# extension module built from the binding shares (the static library
# karvex_binding); each module adds its own entry file and functions.
set(KARVEX_BINDING_INCLUDE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/binding)
set(KARVEX_BINDING_SOURCES
  src/binding/args.cpp
  src/binding/validate.cpp
  src/binding/meshing.cpp
  src/binding/run_hooks.cpp
  src/binding/eval/bridge.cpp
  src/binding/py/errors.cpp
  src/binding/py/text.cpp
  src/binding/py/numpy_api.cpp
  src/binding/py/slice_container.cpp
  src/binding/py/module_once.cpp
)
# _karvex_rs: the module table and its five functions.
set(KARVEX_RS_SOURCES
  src/binding/module.cpp
  src/binding/extract_mesh.cpp
  src/binding/octree_functions.cpp
  src/binding/eval_functions.cpp
)
# karvex._native: the package's private module.
set(KARVEX_NATIVE_SOURCES
  src/binding/native_module.cpp
  src/binding/native_extract.cpp
)
