# C++ unit tests, one file per core component.
set(KARVEX_TEST_SOURCES
  tests/cpp/bbox_test.cpp
  tests/cpp/fd_gradients_test.cpp
  tests/cpp/octree_mod_test.cpp
  tests/cpp/corner_cache_test.cpp
  tests/cpp/build_test.cpp
  tests/cpp/balance_primitives_test.cpp
  tests/cpp/balance_test.cpp
  tests/cpp/worker_pool_test.cpp
  tests/cpp/component_table_test.cpp
  tests/cpp/crossings_test.cpp
  tests/cpp/vertex_placement_test.cpp
  tests/cpp/faces_test.cpp
  tests/cpp/extract_test.cpp
)
