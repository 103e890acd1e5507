# Sources of the extension module (the only code that includes Python.h).
set(KARVEX_BINDING_SOURCES
  src/module.cpp
  src/args.cpp
  src/validate.cpp
  src/extract_mesh.cpp
  src/octree_functions.cpp
  src/eval_functions.cpp
  src/eval/bridge.cpp
  src/py/errors.cpp
  src/py/text.cpp
  src/py/numpy_api.cpp
  src/py/slice_container.cpp
)
