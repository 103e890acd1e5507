# C++ unit tests, one file per core component, and their shared support
# (tests/cpp/support, an include root of the test executable): shape fields,
# the mesh checker, hand-built trees and the plain reference forms the fast
# paths are compared against.
set(KARVEX_TEST_SOURCES
  tests/cpp/support/reference_crossings.cpp
  tests/cpp/support/reference_octree.cpp
  tests/cpp/bbox_test.cpp
  tests/cpp/validity_repair_test.cpp
  tests/cpp/fold_region_test.cpp
  tests/cpp/validity_test.cpp
  tests/cpp/embedded_stars_test.cpp
  tests/cpp/sheet_split_test.cpp
  tests/cpp/meshing_options_test.cpp
  tests/cpp/fd_gradients_test.cpp
  tests/cpp/volume_field_test.cpp
  tests/cpp/octree_test.cpp
  tests/cpp/flat_hash_test.cpp
  tests/cpp/lattice_index_test.cpp
  tests/cpp/corner_cache_test.cpp
  tests/cpp/build_test.cpp
  tests/cpp/parallel_build_test.cpp
  tests/cpp/balance_primitives_test.cpp
  tests/cpp/balance_test.cpp
  tests/cpp/balance_marking_test.cpp
  tests/cpp/platform_test.cpp
  tests/cpp/worker_pool_test.cpp
  tests/cpp/worker_pool_fork_test.cpp
  tests/cpp/run_monitor_test.cpp
  tests/cpp/component_table_test.cpp
  tests/cpp/crossings_test.cpp
  tests/cpp/edge_normals_test.cpp
  tests/cpp/edge_roots_test.cpp
  tests/cpp/hermite_test.cpp
  tests/cpp/vertex_placement_test.cpp
  tests/cpp/slot_vertices_test.cpp
  tests/cpp/merge_topology_test.cpp
  tests/cpp/faces_test.cpp
  tests/cpp/extract_test.cpp
  tests/cpp/simplify_test.cpp
  tests/cpp/collapse_placement_test.cpp
  tests/cpp/edge_collapse_test.cpp
  tests/cpp/fan_distance_test.cpp
  tests/cpp/collapse_folds_test.cpp
  tests/cpp/small_features_test.cpp
  tests/cpp/nonfinite_gradients_test.cpp
  tests/cpp/shared_crossings_test.cpp
)
