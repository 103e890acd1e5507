# Sources of the core library (src/core, its include root). One line per file;
# one block per folder, in the order the layers build on each other.
target_sources(karvex_core PRIVATE
  # platform: CPU count and huge pages from the operating system (one of
  # linux.cpp and portable.cpp compiles to code, chosen by the preprocessor)
  src/core/platform/cgroup_quota.cpp
  src/core/platform/linux.cpp
  src/core/platform/portable.cpp
  # support: geometry, failures and the options of a run
  src/core/support/bbox.cpp
  src/core/support/panic.cpp
  src/core/support/alloc_context.cpp
  src/core/support/meshing_options.cpp
  # field: the interface the core samples through, finite differences
  src/core/field/fd_gradients.cpp
  src/core/field/recalling_field.cpp
  # octree: the model and the sample store
  src/core/octree/octree.cpp
  src/core/octree/chunked_array.cpp
  src/core/octree/lattice_index.cpp
  src/core/octree/corner_cache.cpp
  src/core/octree/pending_corners.cpp
  src/core/octree/split_cells.cpp
  # balance: the 2:1 rule over faces, edges and corners
  src/core/balance/balance.cpp
  src/core/balance/balance_primitives.cpp
  src/core/balance/balance_marking.cpp
  src/core/balance/depth_first_order.cpp
  # build: construction and its split criteria
  src/core/construction/build.cpp
  src/core/construction/code_tree.cpp
  src/core/construction/dense_volume_build.cpp
  src/core/construction/split_criteria.cpp
  src/core/construction/stencil_free_field.cpp
  # pool: worker threads
  src/core/pool/cpu_count.cpp
  src/core/pool/worker_pool.cpp
  src/core/pool/run_monitor.cpp
  # volume: fields over arrays of samples, sampled on the pool
  src/core/volume/volume_field.cpp
  # dc: the dual contouring stages and their driver
  src/core/dc/surface_cells.cpp
  src/core/dc/walk_order_finder.cpp
  src/core/dc/component_table.cpp
  src/core/dc/crossing_vertices.cpp
  src/core/dc/crossings.cpp
  src/core/dc/edge_normals.cpp
  src/core/dc/edge_roots.cpp
  src/core/dc/sliced_edge_roots.cpp
  src/core/dc/lean_projection.cpp
  src/core/dc/shared_crossings.cpp
  src/core/dc/qef.cpp
  src/core/dc/hermite.cpp
  src/core/dc/vertex_placement.cpp
  src/core/dc/projection.cpp
  src/core/dc/faces.cpp
  src/core/dc/cleanup.cpp
  src/core/dc/extract.cpp
  src/core/dc/merged_qef.cpp
  src/core/dc/simplify.cpp
  src/core/dc/slot_vertices.cpp
  src/core/dc/merge_check.cpp
  src/core/dc/merge_topology.cpp
  src/core/dc/fold_candidates.cpp
  src/core/dc/tested_triangles.cpp
  src/core/dc/remembered_polygons.cpp
  src/core/dc/cell_pass_changes.cpp
  src/core/dc/subtree_spans.cpp
  src/core/dc/remembered_star_faults.cpp
  src/core/dc/minimal_edge_faces.cpp
  src/core/dc/collapse_folds.cpp
  src/core/dc/collapse_placement.cpp
  src/core/dc/fan_distance.cpp
  src/core/dc/shared_vertex_apart.cpp
  src/core/dc/triangle_level_bound.cpp
  src/core/dc/edge_collapse.cpp
  # validity: exact predicates and the self-intersection test of a mesh
  src/core/validity/clean_check.cpp
  src/core/validity/embedded_stars.cpp
  src/core/validity/fold_region.cpp
  src/core/validity/local_test.cpp
  src/core/validity/predicates.cpp
  src/core/validity/repair.cpp
  src/core/validity/self_intersections.cpp
  src/core/validity/sheet_split.cpp
  src/core/validity/sheets.cpp
  src/core/validity/undone_steps.cpp
  src/core/validity/vertex_stars.cpp
)
