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
  src/octree/build.cpp
  src/octree/balance.cpp
  # worker pool
  src/pool/worker_pool.cpp
  # dual contouring
  src/dc/extract.cpp
)
