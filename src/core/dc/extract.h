#pragma once

#include "dc/mesh.h"
#include "field/field.h"
#include "octree/octree.h"
#include "support/meshing_options.h"

namespace karvex {

// Dual Contouring of the finished octree at its level. Reads sharp_angle,
// keep_all (every piece, else the largest connected one), simplify (above
// 0: cells collapsed within that distance, faces on minimal edges) and run
// (pool, hooks, timings); the tree carries the rest. Field errors propagate
// unchanged; invariant failures (also those raised on worker threads) throw
// InvariantFailure on the calling thread; whatever the hooks' progress() or
// poll() throw propagates unchanged once the workers have stopped. The
// stages reported to the hooks are listed in extract.cpp.
Mesh extract_surface(const Octree& tree, Field& field, const MeshingOptions& options = {});

// The same, consuming the tree: without simplification its nodes and leaf
// records are freed as soon as the surface cells are collected (a deep
// tree's leaves are a large share of the peak memory of contouring).
Mesh extract_surface(Octree&& tree, Field& field, const MeshingOptions& options = {});

}  // namespace karvex
