# Sources of the Python binding (src/binding, its include root): the only code
# that includes Python.h or NumPy. Every extension module built from the
# binding compiles this list and links karvex_core.
set(KARVEX_BINDING_INCLUDE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/binding)
set(KARVEX_BINDING_SOURCES
  src/binding/module.cpp
  src/binding/args.cpp
  src/binding/validate.cpp
  src/binding/extract_mesh.cpp
  src/binding/octree_functions.cpp
  src/binding/eval_functions.cpp
  src/binding/eval/bridge.cpp
  src/binding/py/errors.cpp
  src/binding/py/text.cpp
  src/binding/py/numpy_api.cpp
  src/binding/py/slice_container.cpp
)
