# Sources of the core library. One line per file; keep each subsystem's block together.
target_sources(karvex_core PRIVATE
  # geometry and failures
  src/bbox.cpp
  src/panic.cpp
  # field sampling
  src/eval/fd_gradients.cpp
  # octree
  src/octree/mod.cpp
  src/octree/corner_cache.cpp
  src/octree/lattice_index.cpp
  src/octree/build.cpp
  src/octree/split_criteria.cpp
  src/octree/pending_corners.cpp
  src/octree/balance.cpp
  src/octree/balance_primitives.cpp
  src/octree/balance_marking.cpp
  src/octree/depth_first_order.cpp
  # worker pool
  src/pool/cpu_count.cpp
  src/pool/worker_pool.cpp
  src/pool/huge_pages.cpp
  # dual contouring
  src/dc/surface_cells.cpp
  src/dc/component_table.cpp
  src/dc/crossings.cpp
  src/dc/qef.cpp
  src/dc/hermite.cpp
  src/dc/vertex_placement.cpp
  src/dc/projection.cpp
  src/dc/faces.cpp
  src/dc/cleanup.cpp
  src/dc/extract.cpp
)
