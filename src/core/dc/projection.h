#pragma once

#include <vector>

#include "dc/vertex_placement.h"
#include "field/field.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex {

// Pulls the vertices onto the level set iso_value of the octree by Newton
// steps x <- x - ((f(x) - iso) / |g|^2) g, each followed by a clamp into the
// vertex's box. Every step is one field call on all positions; a call that
// returns no gradients is followed by one central-difference call (step
// (size / 2^max_depth) * 0.01) and ends the iteration, otherwise up to three
// steps run. A vertex whose |g|^2 is not above 1e-20 (or NaN) keeps its
// position exactly. When |g|^2 or the step factor overflows, the step is
// taken on the gradient scaled by its largest component, so that no axis
// meets inf * 0: an infinitely steep field leaves the vertex where it is,
// and finite values and boxes give finite positions. The per-vertex updates
// run on `pool`. Field errors propagate; short values or gradients fail with
// the index-out-of-bounds invariant failure, a crossed or NaN box with the
// clamp failure. `boxes` is taken by value: the driver moves them in and
// they are freed on return.
void project_vertices(WorkerPool& pool, Field& field, std::vector<Vec3>& positions,
                      std::vector<VertexBox> boxes, const Octree& tree);

}  // namespace karvex
