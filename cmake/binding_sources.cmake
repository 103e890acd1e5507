# Sources of the Python binding (src/binding, its include root): the only code
# that includes Python.h or NumPy. KARVEX_BINDING_SOURCES (src/binding/common)
# is what every extension module built from the binding shares (the static
# library karvex_binding); each module adds its own folder: its entry file and
# functions.
set(KARVEX_BINDING_INCLUDE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/binding)
set(KARVEX_BINDING_SOURCES
  src/binding/common/args.cpp
  src/binding/common/validate.cpp
  src/binding/common/meshing.cpp
  src/binding/common/run_hooks.cpp
  src/binding/common/eval/bridge.cpp
  src/binding/common/py/errors.cpp
  src/binding/common/py/text.cpp
  src/binding/common/py/numpy_api.cpp
  src/binding/common/py/slice_container.cpp
  src/binding/common/py/module_once.cpp
)
# _karvex_rs: the module table and its five functions.
set(KARVEX_RS_SOURCES
  src/binding/karvex_rs/module.cpp
  src/binding/karvex_rs/extract_mesh.cpp
  src/binding/karvex_rs/octree_functions.cpp
  src/binding/karvex_rs/eval_functions.cpp
)
# karvex._native: the package's private module.
set(KARVEX_NATIVE_SOURCES
  src/binding/native/module.cpp
  src/binding/native/extract_mesh.cpp
  src/binding/native/volume_argument.cpp
  src/binding/native/sample_volume.cpp
  src/binding/native/self_intersections.cpp
  src/binding/native/mesh_arrays.cpp
  src/binding/native/sheet_split.cpp
)
