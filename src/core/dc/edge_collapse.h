#pragma once

#include <cstdint>
#include <vector>

#include "dc/mesh.h"
#include "field/field.h"
#include "pool/worker_pool.h"
#include "support/bbox.h"
#include "support/vec3.h"

namespace karvex {

// What collapse_edges did.
struct EdgeCollapseCounts {
  std::uint64_t collapsed = 0;  // vertices removed
  std::uint64_t field_calls = 0;  // calls of the field: the normals, then a batch of samples each
};

// Quadric edge collapse after the octree collapse, within the tolerance.
//
// The octree collapse merges whole cells: on a surface curved both ways a
// merged cell's triangles sag by nearly the tolerance and remove few
// triangles, while collapsing single edges in the order of least quadric
// error (Garland and Heckbert 1997) removes many for little error. This
// pass does that on the simplified mesh, each collapse removing a vertex
// `a` onto a neighbour `b`, which is placed along its normal, within half
// the tolerance of where projection put it, so that its new fan straddles
// the surface (straddling_offset; `b`'s own triangles then move with it and
// are checked with a's), and accepts it only when
//  - the mesh stays a 2-manifold: `a` and `b` are each one closed fan of
//    triangles whose edges have two triangles each, their common neighbours
//    are the two opposite the edge (the link condition), and those keep at
//    least three triangles each;
//  - no triangle it changes turns over or goes to zero area;
//  - the mesh it started from stays within `tolerance` of the mesh at its
//    samples (its vertices, the centroids of its triangles and the
//    midpoints of its edges): every sample a changed triangle keeps (and a
//    vertex's own, until it first moves) lies within `tolerance` of the new
//    fan, each then kept by its nearest triangle there;
//  - the mesh stays within `tolerance` of the surface: the midpoints and
//    quarter points of the changed triangles' edges, their centroids and `b`
//    where it moves are at most `tolerance` from the level set
//    (|f - iso| / |g|), and so is each changed triangle as a whole, by the
//    quadratic those samples and its corners' levels fit
//    (triangle_level_bound: the points between samples sag past them where
//    `b` stands off the surface); an edge that passed and keeps both ends is
//    not sampled again (its levels are kept with its triangle), and one no
//    longer than `midpoint_only` is sampled at its midpoint alone, the
//    quadratic through its ends and midpoint standing for its quarters (the
//    octree samples the field no finer than its finest cells: along an
//    edge one of them spans, that quadratic is what it resolves).
// Collapses are tried in order of quadric error (ties by vertex numbers)
// from a priority queue; after each collapse only the edges at the vertex
// kept are costed again (its quadric, and where it stands, changed), and a
// refused collapse is tried again only after either end's fan changes.
// So that the field is called once per batch and not per collapse (plus
// one call for the normals), the queue's head is taken up
// to a batch of collapses that pass the first three checks and whose
// neighbourhoods do not overlap (one that touches a collapse of the batch
// waits for the next); the batch is sampled together and those within the
// tolerance and that fold nothing are applied: a collapse whose changed
// triangles would pass through another triangle or have no area (the exact
// test of the validity pass, against the live triangles near them, filed
// by place: collapse_folds.h) is refused then, as the field's refusals
// are. The pass ends when the queue is empty. Should the result still have
// such triangles (the exact test of the whole mesh, on the changed
// triangles), the pass is run again from the start with the vertices kept
// whose collapses made them, up to four runs; folds left after that go to
// the validity pass, like the unsimplified mesh's. Vertices on an edge
// with other than two triangles never move; where the mesh is not a 2-manifold (a vertex not
// one fan, which the validity pass mends) that vertex and its neighbours
// never move, so its triangles stay as they are, and the rest is
// collapsed. Nor, with `region`, do those within `slack` of its faces or
// beyond: a solid the box cuts keeps its caps in the box's faces as the
// collapse of cells left them (the validity pass may move some of their
// vertices, and needs others left there). Gradients are the field's, or
// central differences of step `gradient_step`. Serial: the result does not
// depend on the worker count. `triangles` keeps its order with the
// collapsed ones removed; `positions` takes the places of the vertices kept
// (removed vertices become unused, others are unchanged).
EdgeCollapseCounts collapse_edges(WorkerPool& pool, Field& field, double iso,
                                  double gradient_step, std::vector<Vec3>& positions,
                                  std::vector<Triangle>& triangles, double tolerance,
                                  const BBox* region = nullptr, double slack = 0.0,
                                  double midpoint_only = 0.0);

}  // namespace karvex
